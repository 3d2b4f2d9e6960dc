// The configurator: one window in which the backup schedule is edited.
#include "Controller.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvantis"));
    QApplication::setQuitOnLastWindowClosed(false);
    cv::configurator::Controller controller;
    controller.awakeFromNib();
    controller.getMainWindow()->show();
    return app.exec();
}
