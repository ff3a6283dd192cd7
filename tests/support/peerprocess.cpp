#include "peerprocess.h"

#include <QTest>

PeerProcess::PeerProcess(const QStringList &identity, const QStringList &command, const QProcessEnvironment &env)
{
    if (!env.isEmpty())
        process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
        while (process.canReadLine())
            lines << QString::fromUtf8(process.readLine()).chopped(1);
    });
    const QStringList run = command.isEmpty() ? QStringList{program()} : command;
    process.start(run.first(), run.mid(1) + identity);
}

PeerProcess::~PeerProcess()
{
    if (process.state() == QProcess::NotRunning)
        return;
    command("quit");
    if (!process.waitForFinished(3000))
        process.kill();
    process.waitForFinished(1000);
}

void PeerProcess::command(const QByteArray &line)
{
    process.write(line + '\n');
}

bool PeerProcess::waitForLine(const QString &line, int timeoutMs)
{
    return QTest::qWaitFor([&] { return lines.contains(line); }, timeoutMs);
}

bool PeerProcess::deliver(const QString &text)
{
    command("deliver " + text.toUtf8().toPercentEncoding());
    return QTest::qWaitFor([this] { return lines.contains("delivered true") || lines.contains("delivered false"); }, 20000)
        && lines.contains("delivered true");
}

QStringList PeerProcess::log() const
{
    QStringList result;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("log ")))
            result << line.mid(4);
    }
    return result;
}

QByteArray PeerProcess::received() const
{
    QByteArray bytes;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("received ")))
            bytes += QByteArray::fromPercentEncoding(line.mid(9).toLatin1());
    }
    return bytes;
}

QString PeerProcess::program()
{
    return QStringLiteral(KAVO_TEST_PEER);
}
