#include "sandbox.h"

#include "connectionpeer.h"
#include "keysequencelink.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

Sandbox::Sandbox()
    : root(QDir::tempPath() + QStringLiteral("/kavo-XXXXXX"))
{
    for (const char *dir : {"home", "config", "data", "cache", "runtime", "tmp", "programdata", "agent"})
        QDir(root.path()).mkpath(QLatin1String(dir));
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
    // the programs log as installed
    env.remove("QT_LOGGING_RULES");
    env.remove("QT_MESSAGE_PATTERN");
}

QString Sandbox::linkSocket() const
{
    namespace link = veltor::system::keysequencelink;
    return path("runtime") + QLatin1Char('/')
        + veltor::system::ConnectionPeer::serverNameFor(link::channel, link::organization, link::application);
}

QString Sandbox::userIni(const QString &application) const
{
    return path("config") + QStringLiteral("/Veltor/%1.ini").arg(application);
}

QString Sandbox::agentLogFile() const
{
    return path("programdata") + QStringLiteral("/Veltor/Kavo-User-Agent/logging/Kavo-User-Agent.log");
}

bool Sandbox::makeFifo(const QString &name) const
{
    return ::mkfifo(QFile::encodeName(path(name)).constData(), 0600) == 0;
}

void Sandbox::enter() const
{
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                             "TMPDIR", "ALLUSERSPROFILE"})
        qputenv(name, env.value(QLatin1String(name)).toLocal8Bit());
    QDir().mkpath(path("system"));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, path("config"));
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, path("system"));
    QDir::setCurrent(path("agent"));
}

QString readTextFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool listensOn(qint64 pid, const QString &path)
{
    // "Num RefCount Protocol Flags Type St Inode Path"; a listener has the
    // flag __SO_ACCEPTCON (0x10000).
    const QStringList table = readTextFile(QStringLiteral("/proc/net/unix")).split(QLatin1Char('\n'));
    QString inode;
    for (const QString &row : table) {
        const QStringList fields = row.simplified().split(QLatin1Char(' '));
        if (fields.size() == 8 && fields.at(7) == path && (fields.at(3).toUInt(nullptr, 16) & 0x10000))
            inode = fields.at(6);
    }
    if (inode.isEmpty())
        return false;
    const QByteArray target = "socket:[" + inode.toLatin1() + ']';
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &fd : descriptors.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char link[64];
        const ssize_t length = ::readlink(QFile::encodeName(descriptors.filePath(fd)).constData(), link, sizeof link);
        if (length > 0 && QByteArray(link, int(length)) == target)
            return true;
    }
    return false;
}
