// portal-standin
//
// The RemoteDesktop portal on the session bus of a test, without its consent
// dialog (which cannot run headless): every session is granted the keyboard
// and its keys go on to mutter's own RemoteDesktop API, as GNOME's portal
// backend does. Prints "ready" once it owns the portal's name.

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QMap>
#include <QTimer>

#include <cstdio>

namespace {
const QString mutter = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
}

class RemoteDesktop : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.RemoteDesktop")
    Q_PROPERTY(uint AvailableDeviceTypes READ availableDeviceTypes)
    Q_PROPERTY(uint version READ version)

public:
    uint availableDeviceTypes() const { return 1; }
    uint version() const { return 1; }

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap &options, const QDBusMessage &message)
    {
        const QString handle = QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2")
                                   .arg(sender(message), options.value(QStringLiteral("session_handle_token")).toString());
        QDBusReply<QDBusObjectPath> created = QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall(mutter, QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), mutter,
                                           QStringLiteral("CreateSession")));
        if (!created.isValid())
            return answer(message, options, 2, {});
        sessions.insert(handle, created.value().path());
        return answer(message, options, 0, {{QStringLiteral("session_handle"), handle}});
    }

    QDBusObjectPath SelectDevices(const QDBusObjectPath &, const QVariantMap &options, const QDBusMessage &message)
    {
        return answer(message, options, 0, {});
    }

    QDBusObjectPath Start(const QDBusObjectPath &session, const QString &, const QVariantMap &options,
                          const QDBusMessage &message)
    {
        const QDBusMessage started = QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall(mutter, sessions.value(session.path()), mutter + QStringLiteral(".Session"),
                                           QStringLiteral("Start")));
        if (started.type() != QDBusMessage::ReplyMessage)
            return answer(message, options, 2, {});
        return answer(message, options, 0, {{QStringLiteral("devices"), 1u}});
    }

    void NotifyKeyboardKeysym(const QDBusObjectPath &session, const QVariantMap &, int keysym, uint state)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(mutter, sessions.value(session.path()),
                                                           mutter + QStringLiteral(".Session"),
                                                           QStringLiteral("NotifyKeyboardKeysym"));
        call << uint(keysym) << bool(state);
        QDBusConnection::sessionBus().send(call);
    }

private:
    static QString sender(const QDBusMessage &message)
    {
        return message.service().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    }

    // The answer comes as a signal on the request object, after the reply.
    QDBusObjectPath answer(const QDBusMessage &message, const QVariantMap &options, uint code, const QVariantMap &results)
    {
        const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                 .arg(sender(message), options.value(QStringLiteral("handle_token")).toString());
        QTimer::singleShot(0, this, [path, code, results] {
            QDBusMessage signal = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Request"),
                                                             QStringLiteral("Response"));
            signal << code << results;
            QDBusConnection::sessionBus().send(signal);
        });
        return QDBusObjectPath(path);
    }

    QMap<QString, QString> sessions; // portal handle -> mutter's session
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    RemoteDesktop portal;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)
        || !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
        std::fprintf(stderr, "portal-standin: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}

#include "portalstandin.moc"
