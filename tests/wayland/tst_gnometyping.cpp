#include "layouttyping.h"

#include <QStandardPaths>

// GNOME's road: the agent asks the RemoteDesktop portal, here a stand-in on a
// private session bus that passes keys on to a headless mutter's own
// RemoteDesktop API, and a Wayland window under that mutter receives them.
class tst_GnomeTyping : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void typing_data() { layoutTyping_data(); }
    void typing() { layoutTyping(agent, window); }

private:
    bool startAndWait(QProcess &process, const QString &program, const QStringList &arguments,
                      const std::function<bool()> &ready);

    Sandbox sandbox;
    QProcessEnvironment env = sandbox.env;
    QProcess bus;
    QProcess mutter;
    QProcess portal;
    TypedWindow window;
    AgentProcess agent{sandbox};
};

bool tst_GnomeTyping::startAndWait(QProcess &process, const QString &program, const QStringList &arguments,
                                   const std::function<bool()> &ready)
{
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForStarted(10000) && QTest::qWaitFor(ready, 30000);
}

void tst_GnomeTyping::initTestCase()
{
    for (const char *program : {"mutter", "dbus-daemon"}) {
        if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(program))));
    }
    const QString busPath = sandbox.path(QStringLiteral("runtime/bus"));
    const QString display = sandbox.path(QStringLiteral("runtime/wayland-kavo"));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + busPath);
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), display);
    env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
    env.remove(QStringLiteral("DISPLAY")); // XTest must not stand in

    QVERIFY(startAndWait(bus, QStringLiteral("dbus-daemon"),
                         {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--address=unix:path=") + busPath},
                         [&] { return QFile::exists(busPath); }));
    QVERIFY(startAndWait(mutter, QStringLiteral("mutter"),
                         {QStringLiteral("--headless"), QStringLiteral("--wayland"), QStringLiteral("--no-x11"),
                          QStringLiteral("--virtual-monitor"), QStringLiteral("1280x720"),
                          QStringLiteral("--wayland-display"), QStringLiteral("wayland-kavo")},
                         [&] { return QFile::exists(display); }));
    portal.setReadChannel(QProcess::StandardOutput);
    QVERIFY(startAndWait(portal, QStringLiteral(PORTAL_STANDIN), {}, [&] { return portal.canReadLine(); }));

    QProcessEnvironment windowEnv = env;
    windowEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    QVERIFY(window.start(QStringLiteral(WAYLANDTEXTWINDOW), windowEnv));

    agent.env = env;
    QVERIFY(agent.start());
}

void tst_GnomeTyping::cleanupTestCase()
{
    for (QProcess *process : {&agent.process, &portal, &mutter, &bus}) {
        process->terminate();
        if (!process->waitForFinished(10000))
            process->kill();
    }
}

QTEST_GUILESS_MAIN(tst_GnomeTyping)
#include "tst_gnometyping.moc"
