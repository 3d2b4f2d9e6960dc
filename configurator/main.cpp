#include <QApplication>
#include <QMainWindow>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvantis"));
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Corvantis"));
    window.resize(480, 320);
    window.show();
    return app.exec();
}
