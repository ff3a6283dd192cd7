#include <QtTest>

#include <QRegularExpression>

#include "programs.h"

namespace {

const QString peerCategory = QStringLiteral("ch.veltor.system.connectionpeer");
const QString keyboardCategory = QStringLiteral("ch.veltor.kavo-user-agent.keyboardemulator");

struct LogLine
{
    QDateTime time;
    QString level;
    QString category;
    QString message;
};

// Parses lines of "[%-4T][%t{yyyy-MM-ddTHH:mm:ss.zzz}][%-7l][%k] %m\n"; a line
// that does not follow the format fails the test.
QList<LogLine> parseLog(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^\\[(\\d+ *)\\]\\[(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3})\\]"
        "\\[((?:Debug|Info|Warning|Error|Fatal) *)\\]\\[([a-z0-9.-]+)\\] (.*)$"));
    QList<LogLine> lines;
    if (!text.isEmpty() && !text.endsWith('\n')) {
        QTest::qFail("The log does not end with a line feed.", __FILE__, __LINE__);
        return lines;
    }
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (!match.hasMatch() || match.captured(1).size() < 4 || match.captured(3).size() < 7) {
            QTest::qFail(qPrintable("Badly formatted log line: " + line), __FILE__, __LINE__);
            return {};
        }
        lines.append({QDateTime::fromString(match.captured(2), "yyyy-MM-ddTHH:mm:ss.zzz"),
                      match.captured(3).trimmed(), match.captured(4), match.captured(5)});
    }
    return lines;
}

QStringList messagesOf(const QList<LogLine> &lines, const QString &category)
{
    QStringList messages;
    for (const LogLine &line : lines) {
        if (line.category == category)
            messages << line.message;
    }
    return messages;
}

} // namespace

class tst_UserAgent : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void logFileAndElections_data();
    void logFileAndElections();
    void quitsOnSignal_data();
    void quitsOnSignal();
    void receivesWithoutDisplay();
};

void tst_UserAgent::logFileAndElections_data()
{
    QTest::addColumn<QString>("override"); // relative to the sandbox; empty: no override file
    QTest::addColumn<bool>("overrideExists");

    QTest::addRow("below ALLUSERSPROFILE") << QString() << false;
    QTest::addRow("override names an existing folder") << "logs" << true;
    QTest::addRow("override names a missing folder") << "not/yet/there" << false;
}

void tst_UserAgent::logFileAndElections()
{
    QFETCH(QString, override);
    QFETCH(bool, overrideExists);

    Sandbox sandbox;
    AgentProcess agent(sandbox);
    agent.env.remove("DISPLAY");
    QString logFile = sandbox.agentLogFile();
    if (!override.isEmpty()) {
        const QString folder = sandbox.path(override);
        if (overrideExists)
            QVERIFY(QDir().mkpath(folder));
        QFile ini(sandbox.path("agent") + "/Kavo-User-Agent.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[ch.veltor.system]\npath.logging=" + folder.toUtf8() + "\n");
        ini.close();
        logFile = folder + "/Kavo-User-Agent.log";
    }

    QVERIFY(agent.start({"--verbose"}));
    // first election after one second, the second one a second later
    QTRY_VERIFY_WITH_TIMEOUT(readTextFile(logFile).contains("I am already listening."), 10000);
    QVERIFY(agent.stop());
    QCOMPARE(agent.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.process.exitCode(), 0);

    const QString console = agent.log();
    const bool warned = console.contains("Configured path for location does not exist.");
    QCOMPARE(warned, !override.isEmpty() && !overrideExists);
    // with an override, nothing lands below ALLUSERSPROFILE
    QCOMPARE(QFileInfo::exists(sandbox.path("programdata") + "/Veltor"), override.isEmpty());

    const QList<LogLine> lines = parseLog(readTextFile(logFile));
    QVERIFY(!lines.isEmpty());
    const QStringList peer = messagesOf(lines, peerCategory);
    QVERIFY2(peer.size() >= 4, qPrintable(peer.join('|')));
    QCOMPARE(peer.mid(0, 4), (QStringList{"I'll be the listening peer.", "Listening for peer.",
                                          "I already am the listening peer.", "I am already listening."}));
    for (int i = 2; i + 1 < peer.size(); i += 2)
        QCOMPARE(peer.mid(i, 2), (QStringList{"I already am the listening peer.", "I am already listening."}));
    for (const LogLine &line : lines) {
        if (line.category == peerCategory)
            QCOMPARE(line.level, QString("Debug"));
    }

    // elections a second apart
    QDateTime listening, again;
    for (const LogLine &line : lines) {
        if (line.message == "Listening for peer.")
            listening = line.time;
        else if (line.message == "I already am the listening peer." && !again.isValid())
            again = line.time;
    }
    QVERIFY(listening.msecsTo(again) >= 800);

    // the console carries the same lines as the file
    const QList<LogLine> consoleLines = parseLog(console);
    QCOMPARE(messagesOf(consoleLines, peerCategory), peer);
}

void tst_UserAgent::quitsOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addRow("SIGTERM") << int(SIGTERM);
    QTest::addRow("SIGINT") << int(SIGINT);
}

void tst_UserAgent::quitsOnSignal()
{
    QFETCH(int, signalNumber);

    Sandbox sandbox;
    AgentProcess agent(sandbox);
    agent.env.remove("DISPLAY");
    QVERIFY(agent.start());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sandbox.linkSocket()), 10000); // listening

    QVERIFY(agent.stop(signalNumber));
    QCOMPARE(agent.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.process.exitCode(), 0);
    QVERIFY(readTextFile(sandbox.agentLogFile()).contains(QString("Quitting on signal %1.").arg(signalNumber)));
    // the peer was torn down properly: its socket is gone
    QVERIFY(!QFileInfo::exists(sandbox.linkSocket()));
}

void tst_UserAgent::receivesWithoutDisplay()
{
    Sandbox sandbox;
    AgentProcess agent(sandbox);
    agent.env.remove("DISPLAY");
    agent.env.remove("WAYLAND_DISPLAY");
    QVERIFY(agent.start());
    const QString logFile = sandbox.agentLogFile();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sandbox.linkSocket()), 10000);

    QVERIFY(agent.send("1234"));
    QTRY_VERIFY_WITH_TIMEOUT(readTextFile(logFile).contains("Peer lost."), 10000);
    QVERIFY(agent.send("5678"));
    QTRY_COMPARE_WITH_TIMEOUT(readTextFile(logFile).count("Peer lost."), 2, 10000);
    QCOMPARE(agent.process.state(), QProcess::Running);

    QVERIFY(agent.stop());
    QCOMPARE(agent.process.exitCode(), 0);

    // one warning that keystrokes cannot be injected, not one per message
    const QList<LogLine> lines = parseLog(agent.log());
    int warnings = 0;
    for (const LogLine &line : lines) {
        if (line.category == keyboardCategory && line.level == "Warning"
            && line.message.contains("cannot be injected"))
            ++warnings;
    }
    QCOMPARE(warnings, 1);
    QCOMPARE(messagesOf(lines, peerCategory).count("Peer found."), 2);
}

QTEST_MAIN(tst_UserAgent)
#include "tst_useragent.moc"
