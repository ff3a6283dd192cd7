#include "abstractappender.h"

AbstractAppender::AbstractAppender() = default;

AbstractAppender::~AbstractAppender() = default;

Logger::LogLevel AbstractAppender::detailsLevel() const
{
    QMutexLocker locker(&mutex);
    return threshold;
}

void AbstractAppender::setDetailsLevel(Logger::LogLevel level)
{
    QMutexLocker locker(&mutex);
    threshold = level;
}

void AbstractAppender::write(const QDateTime &timeStamp, Logger::LogLevel level, int line,
                             const char *file, const char *function, const char *category,
                             const QString &message)
{
    QMutexLocker locker(&mutex);
    if (level < threshold)
        return;
    append(timeStamp, level, line, file, function, category, message);
}
