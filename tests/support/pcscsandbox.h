#pragma once

// A private pcscd with virtual readers (the vpcd driver) and cards played by
// cardemulator.py, for the tests and the benchmark of the card readers.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <sched.h>
#include <sys/mount.h>
#include <winscard.h>
#include <unistd.h>

namespace pcsc {

inline QString pcscdProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("pcscd"), {"/usr/sbin", "/sbin", "/usr/local/sbin"});
}

const char vpcdDriver[] = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";

// Why no private pcscd can run here; empty when one can.
inline QString missing()
{
    if (::geteuid() != 0)
        return QStringLiteral("needs root, for a mount namespace with a /run/pcscd of its own");
    if (pcscdProgram().isEmpty())
        return QStringLiteral("needs pcscd (Debian package pcscd)");
    if (!QFile::exists(QLatin1String(vpcdDriver)))
        return QStringLiteral("needs the vpcd reader driver (Debian package vsmartcard-vpcd)");
    if (QStandardPaths::findExecutable(QStringLiteral("python3")).isEmpty())
        return QStringLiteral("needs python3 for the card emulator");
    return QString();
}

// pcscd always puts its socket into /run/pcscd: from here on, this thread and
// every process it starts see an empty one of their own, so that no daemon of
// the machine is used or disturbed.
inline QString enterPrivateNamespace()
{
    if (::unshare(CLONE_NEWNS) != 0)
        return QStringLiteral("unshare: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return QStringLiteral("private mounts: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    QDir().mkpath(QStringLiteral("/run/pcscd"));
    if (::mount("none", "/run/pcscd", "tmpfs", 0, "size=1m,mode=0755") != 0)
        return QStringLiteral("tmpfs on /run/pcscd: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    return QString();
}

// pcscd in the foreground with vpcd readers only. Each reader entry makes two
// readers, "NAME 00 00" on its port and "NAME 00 01" on the next one. Ports
// stay below the ephemeral range, which outgoing connections may take.
class Daemon
{
public:
    struct Reader
    {
        QString name;
        quint16 port;
    };

    explicit Daemon(const QList<Reader> &readers)
        : readers(readers)
    {
        // The driver keeps one set of slots per loaded library: every further
        // reader name needs a copy of its own. pcscd skips the folder.
        QDir(config.path()).mkdir("drivers");
        for (int i = 0; i < readers.size(); ++i) {
            QString driver = QLatin1String(vpcdDriver);
            if (i > 0) {
                driver = config.filePath(QStringLiteral("drivers/libifdvpcd-%1.so").arg(i));
                QFile::copy(QLatin1String(vpcdDriver), driver);
            }
            QFile file(config.filePath(QString::number(readers.at(i).port)));
            file.open(QIODevice::WriteOnly);
            file.write(QStringLiteral("FRIENDLYNAME \"%1\"\nDEVICENAME /dev/null:%2\nLIBPATH %3\nCHANNELID %2\n")
                           .arg(readers.at(i).name)
                           .arg(readers.at(i).port)
                           .arg(driver)
                           .toUtf8());
        }
        process.setProcessChannelMode(QProcess::MergedChannels);
    }

    ~Daemon() { stop(SIGTERM); }

    // Starts pcscd and waits until it takes clients.
    bool start()
    {
        // What a killed daemon left behind would stop the next one.
        for (const QString &name : QDir(socketDir).entryList(QDir::Files | QDir::System))
            QFile::remove(QDir(socketDir).filePath(name));
        process.start(pcscdProgram(), QStringList{"--foreground", "-c", config.path()});
        return process.waitForStarted(10000)
            && QTest::qWaitFor([this] { return QFile::exists(socketDir + "/pcscd.comm") || process.state() == QProcess::NotRunning; },
                               10000)
            && process.state() == QProcess::Running;
    }

    bool stop(int signalNumber)
    {
        if (process.state() == QProcess::NotRunning)
            return true;
        ::kill(pid_t(process.processId()), signalNumber);
        return process.waitForFinished(10000);
    }

    QString log() { return QString::fromLocal8Bit(process.readAll()); }

    // The name of the reader on that port.
    QString reader(quint16 port) const
    {
        for (const Reader &reader : readers) {
            if (port == reader.port || port == reader.port + 1)
                return QStringLiteral("%1 00 0%2").arg(reader.name).arg(port - reader.port);
        }
        return QString();
    }

private:
    const QList<Reader> readers;
    const QString socketDir = QStringLiteral("/run/pcscd");
    QTemporaryDir config;
    QProcess process;
};

// Waits until pcscd reports the reader empty. vpcd notices a removal only at
// its next poll, and a card that comes in before then is never seen leaving.
inline bool waitForEmpty(const QString &reader, int timeoutMs = 10000)
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return false;
    const QByteArray name = reader.toUtf8();
    SCARD_READERSTATE state = {};
    state.szReader = name.constData();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const QDeadlineTimer deadline(timeoutMs);
    bool empty = false;
    while (!empty && !deadline.hasExpired()) {
        const LONG rv = SCardGetStatusChange(context, DWORD(std::max<qint64>(1, deadline.remainingTime())), &state, 1);
        if (rv != SCARD_S_SUCCESS && rv != LONG(SCARD_E_TIMEOUT))
            break;
        empty = state.dwEventState & SCARD_STATE_EMPTY;
        state.dwCurrentState = state.dwEventState & ~DWORD(SCARD_STATE_CHANGED);
    }
    SCardReleaseContext(context);
    return empty;
}

// One card, played by cardemulator.py in a reader of the daemon; it is in the
// reader from the start until remove(), which waits until pcscd has seen it go.
class Card
{
public:
    Card(const Daemon &daemon, quint16 port, const QStringList &options)
        : reader(daemon.reader(port))
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { output += QString::fromUtf8(process.readAllStandardOutput()); });
        process.start(QStringLiteral("python3"),
                      QStringList{QStringLiteral(KAVO_CARD_EMULATOR), "--port", QString::number(port)} + options);
    }

    ~Card() { remove(); }

    // Waits until the emulator has printed an event ("powered", "apdu",
    // "pulled", ...) count times since it started.
    bool waitFor(const QString &event, int count = 1, int timeoutMs = 15000)
    {
        return QTest::qWaitFor([&] { return events(event) >= count || process.state() == QProcess::NotRunning; }, timeoutMs)
            && events(event) >= count;
    }

    int events(const QString &event) const
    {
        return output.count(QRegularExpression(QStringLiteral("(^|\n)%1 ").arg(event)));
    }

    // Commands on its standard input, see cardemulator.py.
    void command(const QByteArray &line)
    {
        process.write(line + '\n');
        process.waitForBytesWritten(5000); // callers may block next, as waitForEmpty() does
    }

    void remove()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        command("quit");
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(5000);
        }
        waitForEmpty(reader);
    }

    QString output;

private:
    const QString reader;
    QProcess process;
};

} // namespace pcsc
