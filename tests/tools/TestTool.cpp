// Plays "another process" in tests:
//   cv_test_tool observe NAME TIMEOUT_MS   prints "received NAME" and exits 0, or exits 1
//   cv_test_tool post NAME                 posts the notification
//   cv_test_tool defaults-get PATH KEY     prints the string value, exit 1 when absent
//   cv_test_tool defaults-set PATH KEY VALUE
#include "DistributedNotificationCenter.h"
#include "UserDefaults.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);
    if (command == QLatin1String("observe") && args.size() == 3) {
        cv::platform::DistributedNotificationCenter center;
        QObject::connect(&center, &cv::platform::DistributedNotificationCenter::notificationReceived,
                         &app, [](const QString &name) {
                             std::printf("received %s\n", qPrintable(name));
                             std::fflush(stdout);
                             QCoreApplication::exit(0);
                         });
        if (!center.addObserver(args[1]))
            return 2;
        std::printf("ready\n");
        std::fflush(stdout);
        QTimer::singleShot(args[2].toInt(), &app, [] { QCoreApplication::exit(1); });
        return app.exec();
    }
    if (command == QLatin1String("post") && args.size() == 2) {
        cv::platform::DistributedNotificationCenter center;
        return center.postNotificationName(args[1]) ? 0 : 1;
    }
    if (command == QLatin1String("defaults-get") && args.size() == 3) {
        cv::platform::UserDefaults defaults(args[1]);
        if (!defaults.hasKey(args[2]))
            return 1;
        std::printf("%s", defaults.string(args[2]).toUtf8().constData());
        return 0;
    }
    if (command == QLatin1String("defaults-set") && args.size() == 4) {
        cv::platform::UserDefaults defaults(args[1]);
        defaults.setString(args[2], args[3]);
        return defaults.synchronize() ? 0 : 1;
    }
    std::fprintf(stderr, "cv_test_tool: unknown command\n");
    return 2;
}
