#pragma once

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

// A private corner of the file system for the processes of one test: HOME,
// the XDG folders (the user-scope INI of the host lives in XDG_CONFIG_HOME,
// the peer link's socket in XDG_RUNTIME_DIR), TMPDIR and ALLUSERSPROFILE.
class Sandbox
{
public:
    Sandbox()
    {
        for (const char *dir : {"home", "config", "data", "cache", "tmp", "programdata", "agent"})
            QDir(root.path()).mkpath(dir);
        QDir(root.path()).mkpath("runtime");
        QFile::setPermissions(path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "C.UTF-8"); // the peer link carries the 8-bit code page
        env.insert("HOME", path("home"));
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_DATA_HOME", path("data"));
        env.insert("XDG_CACHE_HOME", path("cache"));
        env.insert("XDG_RUNTIME_DIR", path("runtime"));
        env.insert("TMPDIR", path("tmp"));
        env.insert("ALLUSERSPROFILE", path("programdata"));
        env.remove("QT_LOGGING_RULES");
        env.remove("QT_MESSAGE_PATTERN");
    }

    QString path(const QString &name) const { return root.filePath(name); }

    // The host's user-scope settings file.
    QString userIni() const { return path("config") + "/Veltor/kavo-service.ini"; }
    // The peer link's socket, there while the agent or the plug-in listens.
    QString linkSocket() const { return path("runtime") + "/d33ed4a54483b2efead5860f937e2dd5088ab1fbdbe70ba03b036ad7d805fa11"; }
    QString agentLogFile() const { return path("programdata") + "/Veltor/Kavo-User-Agent/logging/Kavo-User-Agent.log"; }

    bool makeFifo(const QString &name) const
    {
        return ::mkfifo(QFile::encodeName(path(name)).constData(), 0600) == 0;
    }

    QTemporaryDir root;
    QProcessEnvironment env;
};

// The real kavo-service with the real plug-in, on a free port.
class HostProcess
{
public:
    explicit HostProcess(const Sandbox &sandbox)
    {
        process.setProcessEnvironment(sandbox.env);
        process.setWorkingDirectory(sandbox.path("home"));
        process.setProcessChannelMode(QProcess::MergedChannels);
    }

    ~HostProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    // Starts the host (through the launcher, if any) and waits until it listens.
    bool start(const QStringList &arguments, const QStringList &launcher = {})
    {
        // The machine's own card readers stay out of tests that do not ask for them.
        const QStringList readers = cardReaders ? QStringList() : QStringList{"--no-card-readers"};
        const QStringList command =
            launcher + QStringList{KAVO_SERVICE, "--listen", "127.0.0.1:0"} + readers + arguments;
        process.start(command.first(), command.mid(1));
        if (!process.waitForStarted(10000))
            return false;
        static const QRegularExpression listening(QStringLiteral("Listening on 127\\.0\\.0\\.1:(\\d+)\\."));
        const bool up = QTest::qWaitFor([this] {
            const QRegularExpressionMatch match = listening.match(log());
            if (match.hasMatch())
                port = match.captured(1).toUShort();
            return port != 0 || process.state() == QProcess::NotRunning;
        }, 15000);
        return up && port != 0;
    }

    bool stop(int signalNumber = SIGTERM)
    {
        ::kill(pid_t(process.processId()), signalNumber);
        return process.waitForFinished(10000);
    }

    QString log()
    {
        output += QString::fromUtf8(process.readAll());
        return output;
    }

    QString url(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path); }

    QProcess process;
    quint16 port = 0;
    bool cardReaders = false;

private:
    QString output;
};

struct HttpReply
{
    int status = -1;
    QByteArray body;
};

// Fetches with curl, as a user would; proxies from the environment are ignored.
inline HttpReply curl(const QStringList &arguments)
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

inline QString readTextFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The sample card's XML with another insured person's number.
inline QString sampleCard(const QString &number)
{
    QString xml = readTextFile(QStringLiteral(KAVO_TEST_DATA_DIR "/card-admin.xml"));
    xml.replace(QLatin1String("80756014390000472318"), number);
    return xml;
}

// One line of chunk input: the insertion of a card with that number.
inline QByteArray cardLine(const QString &number, const QString &reader = QStringLiteral("Cherry SmartTerminal ST-1144"))
{
    const QJsonObject chunk{{"reader", reader},
                            {"event", "card-inserted"},
                            {"content", "card-admin-content"},
                            {"data", sampleCard(number)}};
    return QJsonDocument(chunk).toJson(QJsonDocument::Compact) + '\n';
}

// Writes as one writer of a named pipe: opens, writes, closes.
inline bool writeToPipe(const QString &fifo, const QByteArray &bytes)
{
    QFile file(fifo);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const bool written = file.write(bytes) == bytes.size();
    file.close();
    return written;
}

inline QString numberLogged(const QString &number)
{
    return QStringLiteral("Received a chunk object with VeKa number: ") + number;
}
