#pragma once

#include <QDateTime>
#include <QMutex>

#include "logger.h"

// Base of every appender. The logger calls write(), which serialises calls on
// this appender with its own mutex and then calls append(); subclasses only
// implement append() and need no locking of their own.
class AbstractAppender
{
public:
    AbstractAppender();
    virtual ~AbstractAppender();

    // Messages below this level are dropped; the default lets everything through.
    Logger::LogLevel detailsLevel() const;
    void setDetailsLevel(Logger::LogLevel level);

    void write(const QDateTime &timeStamp, Logger::LogLevel level, int line, const char *file,
               const char *function, const char *category, const QString &message);

protected:
    virtual void append(const QDateTime &timeStamp, Logger::LogLevel level, int line,
                        const char *file, const char *function, const char *category,
                        const QString &message) = 0;

private:
    mutable QMutex mutex;
    Logger::LogLevel threshold = Logger::Trace;

    Q_DISABLE_COPY(AbstractAppender)
};
