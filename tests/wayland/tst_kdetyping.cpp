#include "layouttyping.h"
#include "otheruser.h"

#include <QDir>

#include <pwd.h>
#include <unistd.h>

// KDE's road: a headless KWin (started by with-kwin) grants its fake input to
// the agent through the agent's own desktop entry, and the agent types
// through KWin's layout into a Wayland window.
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

    QStringList asKwinUser; // a setpriv command
    TypedWindow window;
    Sandbox sandbox;
    AgentProcess agent{sandbox};
    // KWin's user may not be let into the build folder.
    StagedProgram stagedAgent{agent.program};
};

bool tst_KdeTyping::runAsKwinUser(const QStringList &command, QByteArray *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList run = asKwinUser + command;
    process.start(run.first(), run.mid(1));
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
    // session, from a copy that the user can reach, which its desktop entry names.
    asKwinUser = setprivAs(QString::number(user->pw_uid), QString::number(user->pw_gid));
    QVERIFY(stagedAgent.isValid());
    QVERIFY2(runAsKwinUser({QStringLiteral("test"), QStringLiteral("-x"), stagedAgent.path()}),
             "KWin's user cannot run programs below /tmp");
    QString entry = readTextFile(QStringLiteral(KAVO_DESKTOP_ENTRY));
    entry.replace(QLatin1String("KAVO_USER_AGENT_PATH"), stagedAgent.path());
    QFile installed(qEnvironmentVariable("KAVO_KWIN_APPLICATIONS") + QStringLiteral("/kavo-user-agent.desktop"));
    QVERIFY(!entry.isEmpty() && installed.open(QIODevice::WriteOnly) && installed.write(entry.toUtf8()) > 0);
    installed.close();
    // The agent's folders are that user's, as in a real session.
    const QStringList folders = QDir(sandbox.path(".")).entryList(QDir::Dirs | QDir::NoDotAndDotDot) << ".";
    for (const QString &dir : folders)
        QCOMPARE(::chown(QFile::encodeName(sandbox.path(dir)).constData(), user->pw_uid, user->pw_gid), 0);

    // setpriv execs the agent, so the process is the agent itself
    agent.program = stagedAgent.path();
    QVERIFY(agent.start({}, asKwinUser));
    // Chosen by itself, as in a Plasma session; without the grant it would fall back.
    QTRY_VERIFY2_WITH_TIMEOUT(agent.log().contains(QLatin1String("Typing through KDE's fake input.")),
                              qPrintable(agent.log()), 20000);
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
    QVERIFY(agent.send(text));
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
