#include "fileappender.h"

#include <cstdio>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Log lines may carry personal data: the file is its owner's alone from the
// moment it is made, and an older, wider one is narrowed.
bool openPrivately(QFile &file, QString *error)
{
#ifdef Q_OS_UNIX
    const int descriptor = ::open(QFile::encodeName(file.fileName()).constData(),
                                  O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (descriptor < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    ::fchmod(descriptor, S_IRUSR | S_IWUSR);
    ::close(descriptor);
#endif
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        return true;
    *error = file.errorString();
    return false;
}

} // namespace

FileAppender::FileAppender(const QString &fileName)
{
    logFile.setFileName(fileName);
}

FileAppender::~FileAppender()
{
    closeFile();
}

QString FileAppender::fileName() const
{
    return logFile.fileName();
}

void FileAppender::setFileName(const QString &fileName)
{
    closeFile();
    logFile.setFileName(fileName);
    openFailureReported = false;
}

void FileAppender::append(const QDateTime &timeStamp, Logger::LogLevel level, int line,
                          const char *file, const char *function, const char *category,
                          const QString &message)
{
    writeToFile(formattedString(timeStamp, level, line, file, function, category, message).toUtf8());
}

bool FileAppender::openFile()
{
    if (logFile.isOpen())
        return true;
    if (logFile.fileName().isEmpty())
        return false;
    QString error;
    if (openPrivately(logFile, &error)) {
        openFailureReported = false;
        return true;
    }
    // Not through Qt's logging: that would come straight back to this appender.
    if (!openFailureReported) {
        std::fprintf(stderr, "Cannot open the log file %s: %s\n",
                     qPrintable(logFile.fileName()), qPrintable(error));
        std::fflush(stderr);
        openFailureReported = true;
    }
    return false;
}

void FileAppender::closeFile()
{
    if (logFile.isOpen())
        logFile.close();
}

qint64 FileAppender::fileSize() const
{
    return logFile.isOpen() ? logFile.size() : QFile(logFile.fileName()).size();
}

void FileAppender::writeToFile(const QByteArray &data)
{
    if (!openFile())
        return;
    logFile.write(data);
    logFile.flush();
}
