#include "openfile_p.h"

#include <QtCore/QDateTime>
#include <QtCore/QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace http {
namespace server {

OpenFile::OpenFile(const QString &name)
    : name(name)
#ifndef Q_OS_UNIX
    , file(name)
#endif
{
}

OpenFile::~OpenFile()
{
#ifdef Q_OS_UNIX
    if (descriptor >= 0)
        ::close(descriptor);
#endif
}

#ifdef Q_OS_UNIX

OpenFile::Kind OpenFile::kind()
{
    if (name.isEmpty())
        return Missing;
    if (nativeName.isNull())
        nativeName = QFile::encodeName(name);
    struct stat status;
    if (::stat(nativeName.constData(), &status) != 0)
        return Missing;
    if (S_ISDIR(status.st_mode))
        return Folder;
    return S_ISREG(status.st_mode) ? Regular : Other;
}

bool OpenFile::open()
{
    if (descriptor >= 0 || name.isEmpty())
        return false;
    if (nativeName.isNull())
        nativeName = QFile::encodeName(name);
    // Without waiting: a pipe put in the file's place since kind() looked
    // would otherwise block the thread in open(). Regular files ignore the flag.
    do
        descriptor = ::open(nativeName.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return false;
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        descriptor = -1;
        return false;
    }
    fileSize = status.st_size;
#ifdef Q_OS_LINUX
    // In UTC straight away: a QFileInfo's time looks at the time zone.
    modified = qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000;
#else
    modified = QFileInfo(name).lastModified().toMSecsSinceEpoch();
#endif
    return true;
}

int OpenFile::handle() const
{
    return descriptor;
}

qint64 OpenFile::readAt(qint64 offset, char *data, qint64 length)
{
    for (;;) {
        const ssize_t n = ::pread(descriptor, data, size_t(length), off_t(offset));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

#else

OpenFile::Kind OpenFile::kind()
{
    const QFileInfo info(name);
    if (info.isDir())
        return Folder;
    if (info.isFile())
        return Regular;
    return info.exists() ? Other : Missing;
}

bool OpenFile::open()
{
    // Unbuffered: the file goes out in pieces straight from its descriptor.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    fileSize = file.size();
    modified = QFileInfo(name).lastModified().toMSecsSinceEpoch();
    return true;
}

int OpenFile::handle() const
{
    return file.handle();
}

qint64 OpenFile::readAt(qint64 offset, char *data, qint64 length)
{
    return file.seek(offset) ? file.read(data, length) : -1;
}

#endif

} // namespace server
} // namespace http
