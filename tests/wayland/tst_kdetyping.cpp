#include "layouttyping.h"

#include <pwd.h>
#include <unistd.h>

// KDE's road: a headless KWin (started by with-kwin, which hands it the
// agent's own desktop entry) grants its fake input to the agent, and the
// agent types through KWin's layout into a Wayland window.
class tst_KdeTyping : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void typing_data() { layoutTyping_data(); }
    void typing() { layoutTyping(agent, window); }
    void secondLayout();
    void cleanupTestCase();

private:
    bool runAsKwinUser(const QStringList &command, QByteArray *output = nullptr);

    QStringList asKwinUser; // setpriv's options
    TypedWindow window;
    AgentProcess agent;
};

bool tst_KdeTyping::runAsKwinUser(const QStringList &command, QByteArray *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("setpriv"), asKwinUser + command);
    const bool ok = process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit
                    && process.exitCode() == 0;
    if (output)
        *output = process.readAllStandardOutput().trimmed();
    return ok;
}

void tst_KdeTyping::initTestCase()
{
    if (qEnvironmentVariableIsSet("KAVO_KWIN_SKIP"))
        QSKIP(qPrintable(qEnvironmentVariable("KAVO_KWIN_SKIP")));
    QVERIFY2(qEnvironmentVariableIsSet("KAVO_KWIN_USER"), "run this test through with-kwin");
    const passwd *user = getpwnam(qgetenv("KAVO_KWIN_USER").constData());
    QVERIFY(user);

    // First the window: once it has the focus, KWin has made all its globals.
    QProcessEnvironment windowEnv = QProcessEnvironment::systemEnvironment();
    windowEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    QVERIFY(window.start(QStringLiteral(WAYLANDTEXTWINDOW), windowEnv));

    // KWin grants a client by the executable of its process, which it can
    // read only for its own user: the agent runs as that user, as in a real
    // session.
    asKwinUser = QStringList{QStringLiteral("--reuid=%1").arg(user->pw_uid), QStringLiteral("--regid=%1").arg(user->pw_gid),
                             QStringLiteral("--clear-groups")};
    if (!runAsKwinUser({QStringLiteral("test"), QStringLiteral("-r"), QStringLiteral(KAVO_USER_AGENT), QStringLiteral("-a"),
                        QStringLiteral("-x"), QStringLiteral(KAVO_USER_AGENT)}))
        QSKIP("KWin's user cannot read and run the agent in this build folder (it is closed to other users)");
    for (const QString &dir : {agent.root.path(), agent.workDir(), agent.tmpDir()})
        QCOMPARE(::chown(QFile::encodeName(dir).constData(), user->pw_uid, user->pw_gid), 0);
    agent.env.insert(QStringLiteral("HOME"), agent.root.path());
    agent.env.insert(QStringLiteral("XDG_RUNTIME_DIR"), agent.root.path()); // private, mode 0700

    // setpriv execs the agent, so the process is the agent itself
    agent.process.setProcessEnvironment(agent.env);
    agent.process.start(QStringLiteral("setpriv"), asKwinUser + QStringList{QStringLiteral(KAVO_USER_AGENT)});
    QVERIFY(agent.process.waitForStarted(10000));
    // Chosen by itself, as in a Plasma session; without the grant it would fall back.
    QTRY_VERIFY2_WITH_TIMEOUT(agent.console().contains(QLatin1String("Typing through KDE's fake input.")),
                              qPrintable(agent.console()), 20000);
}

// After a switch to the second layout, which KWin tells over D-Bus only, the
// agent still picks the right keys. On "de", y and z trade places and @ needs
// AltGr.
void tst_KdeTyping::secondLayout()
{
    QByteArray switched;
    QVERIFY(runAsKwinUser({QStringLiteral("dbus-send"), QStringLiteral("--session"), QStringLiteral("--print-reply=literal"),
                           QStringLiteral("--dest=org.kde.keyboard"), QStringLiteral("/Layouts"),
                           QStringLiteral("org.kde.KeyboardLayouts.setLayout"), QStringLiteral("uint32:1")},
                          &switched));
    QCOMPARE(switched, QByteArray("boolean true"));
    const QString text = QStringLiteral("zy@1");
    const int before = window.typed().size();
    QCOMPARE(agent.send(text), 0);
    QTRY_COMPARE_WITH_TIMEOUT(window.typed().mid(before), text, 20000);
}

// The backend lets go of KWin cleanly (and, under the sanitizers, leaks nothing).
void tst_KdeTyping::cleanupTestCase()
{
    if (agent.process.state() == QProcess::NotRunning)
        return;
    QVERIFY(agent.stop());
    QCOMPARE(agent.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_KdeTyping)
#include "tst_kdetyping.moc"
