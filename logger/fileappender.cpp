#include "fileappender.h"

#include <cstdio>

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
    if (logFile.open(QIODevice::WriteOnly | QIODevice::Append)) {
        openFailureReported = false;
        return true;
    }
    // Not through Qt's logging: that would come straight back to this appender.
    if (!openFailureReported) {
        std::fprintf(stderr, "Cannot open the log file %s: %s\n",
                     qPrintable(logFile.fileName()), qPrintable(logFile.errorString()));
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
