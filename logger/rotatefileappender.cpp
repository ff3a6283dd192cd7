#include "rotatefileappender.h"

#include <QFile>

#include <cstdio>

RotateFileAppender::RotateFileAppender(const QString &fileName, int backupCount,
                                       unsigned int maxFileSize)
    : FileAppender(fileName)
    , backups(backupCount)
    , maxSize(maxFileSize)
{
}

int RotateFileAppender::backupCount() const
{
    return backups;
}

unsigned int RotateFileAppender::maxFileSize() const
{
    return maxSize;
}

void RotateFileAppender::append(const QDateTime &timeStamp, Logger::LogLevel level, int line,
                                const char *file, const char *function, const char *category,
                                const QString &message)
{
    const QByteArray data =
        formattedString(timeStamp, level, line, file, function, category, message).toUtf8();
    pendingSize = data.size();
    if (checkRotateCondition())
        rotate();
    writeToFile(data);
}

bool RotateFileAppender::checkRotateCondition()
{
    if (maxSize == 0)
        return false;
    const qint64 size = fileSize();
    // An empty file takes the message whatever its size; rotating would only
    // push out an old file for nothing.
    return size > 0 && size + pendingSize > qint64(maxSize);
}

void RotateFileAppender::rotate()
{
    closeFile();
    const QString base = fileName();
    if (backups <= 0) {
        QFile::remove(base);
    } else {
        QFile::remove(base + QLatin1Char('.') + QString::number(backups));
        for (int i = backups - 1; i >= 1; --i) {
            rename(base + QLatin1Char('.') + QString::number(i),
                   base + QLatin1Char('.') + QString::number(i + 1));
        }
        // If this fails (a file held open elsewhere on Windows) the messages
        // keep going to the old file rather than being thrown away.
        rename(base, base + QStringLiteral(".1"));
    }
    openFile();
}

bool RotateFileAppender::rename(const QString &from, const QString &to)
{
    if (!QFile::exists(from))
        return true;
    if (QFile::exists(to))
        QFile::remove(to);
    QFile source(from);
    if (source.rename(to))
        return true;
    if (renameFailureReported)
        return false;
    renameFailureReported = true;
    std::fprintf(stderr, "Cannot rename the log file %s to %s: %s\n", qPrintable(from),
                 qPrintable(to), qPrintable(source.errorString()));
    std::fflush(stderr);
    return false;
}
