#include "programs.h"

#include "cardchunks.h"
#include "peerprocess.h"

#include <QRegularExpression>
#include <QTest>

ProgramProcess::ProgramProcess(const Sandbox &sandbox, const QString &program, const QString &workDir)
    : program(program)
    , env(sandbox.env)
{
    process.setWorkingDirectory(sandbox.path(workDir));
    process.setProcessChannelMode(QProcess::MergedChannels);
}

ProgramProcess::~ProgramProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool ProgramProcess::start(const QStringList &arguments, const QStringList &launcher)
{
    const QStringList command = launcher + QStringList{program} + arguments;
    process.setProcessEnvironment(env);
    process.start(command.first(), command.mid(1));
    return process.waitForStarted(10000);
}

int ProgramProcess::run(const QStringList &arguments)
{
    if (!ProgramProcess::start(arguments) || !process.waitForFinished(10000))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool ProgramProcess::stop(int signalNumber)
{
    ::kill(pid_t(process.processId()), signalNumber);
    return process.waitForFinished(10000);
}

QString ProgramProcess::log()
{
    output += QString::fromUtf8(process.readAll());
    return output;
}

AgentProcess::AgentProcess(const Sandbox &sandbox)
    : ProgramProcess(sandbox, QStringLiteral(KAVO_USER_AGENT), QStringLiteral("agent"))
{
}

bool AgentProcess::send(const QString &text) const
{
    PeerProcess plugin({}, {}, env);
    return plugin.deliver(text);
}

#ifdef KAVO_SERVICE
HostProcess::HostProcess(const Sandbox &sandbox)
    : ProgramProcess(sandbox, QStringLiteral(KAVO_SERVICE), QStringLiteral("home"))
{
}
#endif

bool HostProcess::start(const QStringList &arguments, const QStringList &launcher)
{
    const QStringList readers = cardReaders ? QStringList() : QStringList{"--no-card-readers"};
    if (!ProgramProcess::start(QStringList{"--listen", "127.0.0.1:0"} + readers + arguments, launcher))
        return false;
    static const QRegularExpression listening(QStringLiteral("Listening on 127\\.0\\.0\\.1:(\\d+)\\."));
    return QTest::qWaitFor([this] {
        const QRegularExpressionMatch match = listening.match(log());
        if (match.hasMatch())
            port = match.captured(1).toUShort();
        return port != 0 || process.state() == QProcess::NotRunning;
    }, 15000) && port != 0;
}

bool HostProcess::insert(const QString &fifo, const QByteArray &lines)
{
    static const QString skipped = QStringLiteral("is not a JSON object; skipped.");
    const int before = log().count(skipped);
    return writeToPipe(fifo, lines + "[\"mark\"]\n")
        && QTest::qWaitFor([&] { return log().count(skipped) > before; }, 10000);
}

QString HostProcess::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
}

HttpReply curl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("curl"),
                  QStringList{"--silent", "--show-error", "--noproxy", "*", "--max-time", "10",
                              "--write-out", "\n%{http_code}"} + arguments);
    HttpReply reply;
    if (!process.waitForFinished(20000) || process.exitCode() != 0)
        return reply;
    QByteArray output = process.readAllStandardOutput();
    const int lastLine = output.lastIndexOf('\n');
    reply.status = output.mid(lastLine + 1).toInt();
    reply.body = output.left(lastLine);
    return reply;
}
