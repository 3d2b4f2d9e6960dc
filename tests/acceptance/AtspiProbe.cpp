// What an assistive tool sees of a running program, for the acceptance test:
// it reads the accessibility tree over AT-SPI (the accessibility bus that the
// session bus hands out), as a screen reader would, and takes screenshots.
//
//   cv_atspi_probe find APP NAME [ROLE]
//       The first showing object called NAME (of role ROLE, such as
//       "push button") in the program whose application object is called APP:
//       prints "x y width height<TAB>description<TAB>text" in screen
//       coordinates. Exit status 1 when there is none.
//   cv_atspi_probe labelled APP LABEL
//       The name of the object that the showing object called LABEL is the
//       label for, as a screen reader reads a value beside its label.
//   cv_atspi_probe dump APP
//       The tree, one "role: name" line per object, for a person to read.
//   cv_atspi_probe grab X Y WIDTH HEIGHT FILE
//       Saves that part of the screen as a PNG file.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <map>
#include <optional>

namespace {

struct ObjectRef {
    QString service;
    QDBusObjectPath path;
};

QDBusArgument &operator<<(QDBusArgument &a, const ObjectRef &r)
{
    a.beginStructure();
    a << r.service << r.path;
    a.endStructure();
    return a;
}

const QDBusArgument &operator>>(const QDBusArgument &a, ObjectRef &r)
{
    a.beginStructure();
    a >> r.service >> r.path;
    a.endStructure();
    return a;
}

} // namespace

Q_DECLARE_METATYPE(ObjectRef)

namespace {

const QString kAccessible = QStringLiteral("org.a11y.atspi.Accessible");
const QString kRootPath = QStringLiteral("/org/a11y/atspi/accessible/root");
// AT-SPI state bits (index into the state set).
constexpr int kStateShowing = 25;
constexpr uint kRelationLabelFor = 1;
constexpr int kMaxObjects = 5000;

class Tree
{
public:
    explicit Tree(QDBusConnection bus) : m_bus(std::move(bus)) {}

    QDBusMessage call(const ObjectRef &o, const QString &interface, const QString &method,
                      const QVariantList &arguments = {}) const
    {
        QDBusMessage m = QDBusMessage::createMethodCall(o.service, o.path.path(), interface, method);
        m.setArguments(arguments);
        return m_bus.call(m, QDBus::Block, 2000);
    }

    QVariant property(const ObjectRef &o, const QString &interface, const QString &name) const
    {
        const QDBusMessage reply = call(o, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                        {interface, name});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return reply.arguments().constFirst().value<QDBusVariant>().variant();
    }

    QString name(const ObjectRef &o) const { return property(o, kAccessible, QStringLiteral("Name")).toString(); }

    QList<ObjectRef> children(const ObjectRef &o) const
    {
        const QDBusMessage reply = call(o, kAccessible, QStringLiteral("GetChildren"));
        QList<ObjectRef> out;
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            reply.arguments().constFirst().value<QDBusArgument>() >> out;
        return out;
    }

    QString roleName(const ObjectRef &o) const
    {
        const QDBusMessage reply = call(o, kAccessible, QStringLiteral("GetRoleName"));
        return reply.arguments().isEmpty() ? QString() : reply.arguments().constFirst().toString();
    }

    bool showing(const ObjectRef &o) const
    {
        const QDBusMessage reply = call(o, kAccessible, QStringLiteral("GetState"));
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return false;
        QList<uint> states;
        reply.arguments().constFirst().value<QDBusArgument>() >> states;
        const int word = kStateShowing / 32;
        return word < states.size() && (states[word] >> (kStateShowing % 32)) & 1u;
    }

    QRect extents(const ObjectRef &o) const
    {
        const QDBusMessage reply = call(o, QStringLiteral("org.a11y.atspi.Component"), QStringLiteral("GetExtents"),
                                        {QVariant::fromValue(uint(0))}); // screen coordinates
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        int x = 0, y = 0, w = 0, h = 0;
        const QDBusArgument a = reply.arguments().constFirst().value<QDBusArgument>();
        a.beginStructure();
        a >> x >> y >> w >> h;
        a.endStructure();
        return QRect(x, y, w, h);
    }

    QString text(const ObjectRef &o) const
    {
        const QDBusMessage reply = call(o, QStringLiteral("org.a11y.atspi.Text"), QStringLiteral("GetText"),
                                        {QVariant::fromValue(0), QVariant::fromValue(-1)});
        return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
            ? reply.arguments().constFirst().toString()
            : QString();
    }

    // The objects `o` is the label for.
    QList<ObjectRef> labelFor(const ObjectRef &o) const
    {
        const QDBusMessage reply = call(o, kAccessible, QStringLiteral("GetRelationSet"));
        QList<ObjectRef> out;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return out;
        const QDBusArgument a = reply.arguments().constFirst().value<QDBusArgument>();
        a.beginArray();
        while (!a.atEnd()) {
            uint type = 0;
            QList<ObjectRef> targets;
            a.beginStructure();
            a >> type >> targets;
            a.endStructure();
            if (type == kRelationLabelFor)
                out << targets;
        }
        a.endArray();
        return out;
    }

    // The application roots on the bus whose name is appName.
    QList<ObjectRef> applications(const QString &appName) const
    {
        QList<ObjectRef> out;
        const QStringList services = m_bus.interface()->registeredServiceNames().value();
        for (const QString &service : services) {
            if (!service.startsWith(QLatin1Char(':')))
                continue;
            const ObjectRef root{service, QDBusObjectPath(kRootPath)};
            if (name(root) == appName)
                out << root;
        }
        return out;
    }

    std::optional<ObjectRef> find(const ObjectRef &root, const QString &wanted, const QString &role) const
    {
        QList<ObjectRef> queue{root};
        for (int seen = 0; !queue.isEmpty() && seen < kMaxObjects; ++seen) {
            const ObjectRef o = queue.takeFirst();
            if (seen > 0 && name(o) == wanted && (role.isEmpty() || roleName(o) == role) && showing(o))
                return o;
            queue << children(o);
        }
        return std::nullopt;
    }

private:
    QDBusConnection m_bus;
};

std::optional<QDBusConnection> accessibilityBus()
{
    QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                                    QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress"));
    const QDBusReply<QString> address = QDBusConnection::sessionBus().call(m, QDBus::Block, 5000);
    if (!address.isValid() || address.value().isEmpty()) {
        std::fprintf(stderr, "no accessibility bus: %s\n", qPrintable(address.error().message()));
        return std::nullopt;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(address.value(), QStringLiteral("a11y"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "cannot connect to the accessibility bus %s\n", qPrintable(address.value()));
        return std::nullopt;
    }
    return bus;
}

int find(const Tree &tree, const QStringList &args)
{
    for (const ObjectRef &app : tree.applications(args[0])) {
        if (const auto o = tree.find(app, args[1], args.value(2))) {
            const QRect r = tree.extents(*o);
            const QString description = tree.property(*o, kAccessible, QStringLiteral("Description")).toString();
            std::printf("%d %d %d %d\t%s\t%s\n", r.x(), r.y(), r.width(), r.height(), qPrintable(description),
                        qPrintable(tree.text(*o)));
            return 0;
        }
    }
    return 1;
}

int labelled(const Tree &tree, const QStringList &args)
{
    for (const ObjectRef &app : tree.applications(args[0])) {
        if (const auto label = tree.find(app, args[1], {})) {
            for (const ObjectRef &target : tree.labelFor(*label)) {
                std::printf("%s\n", qPrintable(tree.name(target)));
                return 0;
            }
        }
    }
    return 1;
}

void dumpTree(const Tree &tree, const ObjectRef &o, int depth)
{
    if (depth > 30)
        return;
    std::printf("%*s%s: %s%s\n", depth * 2, "", qPrintable(tree.roleName(o)), qPrintable(tree.name(o)),
                tree.showing(o) ? "" : " (not showing)");
    for (const ObjectRef &child : tree.children(o))
        dumpTree(tree, child, depth + 1);
}

int dump(const Tree &tree, const QStringList &args)
{
    const QList<ObjectRef> apps = tree.applications(args[0]);
    for (const ObjectRef &app : apps)
        dumpTree(tree, app, 0);
    return apps.isEmpty() ? 1 : 0;
}

int grab(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList a = app.arguments().mid(2);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 2;
    const QPixmap shot = screen->grabWindow(0, a[0].toInt(), a[1].toInt(), a[2].toInt(), a[3].toInt());
    return !shot.isNull() && shot.save(a[4], "PNG") ? 0 : 2;
}

} // namespace

int main(int argc, char **argv)
{
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (command == QLatin1String("grab") && argc == 7)
        return grab(argc, argv);
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<ObjectRef>();
    qDBusRegisterMetaType<QList<ObjectRef>>();
    const QStringList args = app.arguments().mid(2);
    const std::map<QString, std::pair<int (*)(const Tree &, const QStringList &), QList<int>>> commands{
        {QStringLiteral("find"), {find, {2, 3}}}, {QStringLiteral("labelled"), {labelled, {2}}}, {QStringLiteral("dump"), {dump, {1}}}};
    const auto it = commands.find(command);
    if (it == commands.end() || !it->second.second.contains(args.size())) {
        std::fprintf(stderr, "usage: cv_atspi_probe find APP NAME [ROLE] | labelled APP LABEL | dump APP | grab X Y WIDTH HEIGHT FILE\n");
        return 2;
    }
    const auto bus = accessibilityBus();
    return bus ? it->second.first(Tree(*bus), args) : 2;
}
