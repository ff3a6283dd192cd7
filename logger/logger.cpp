#include "logger.h"

#include "abstractappender.h"

#include <QDateTime>
#include <QMutex>

#include <cstdio>

namespace {

struct LoggerState
{
    QMutex mutex;
    QList<AbstractAppender *> appenders;
    bool handlerInstalled = false;
    QtMessageHandler previousHandler = nullptr;
};

// Never destroyed: messages may still arrive while static objects are torn down.
LoggerState &state()
{
    static LoggerState *s = new LoggerState;
    return *s;
}

// Set while this thread hands a message to the appenders, so that a message
// an appender itself causes does not come back to them (or deadlock).
thread_local bool dispatching = false;

Logger::LogLevel levelOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return Logger::Debug;
    case QtInfoMsg: return Logger::Info;
    case QtWarningMsg: return Logger::Warning;
    case QtCriticalMsg: return Logger::Error;
    case QtFatalMsg: return Logger::Fatal;
    }
    return Logger::Debug;
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // Qt aborts after a fatal message returns from here.
    Logger::write(levelOf(type), context.file, context.line, context.function, context.category,
                  message);
}

} // namespace

void Logger::registerAppender(AbstractAppender *appender)
{
    if (!appender)
        return;
    LoggerState &s = state();
    QMutexLocker locker(&s.mutex);
    if (s.appenders.contains(appender))
        return;
    s.appenders.append(appender);
    if (!s.handlerInstalled) {
        s.previousHandler = qInstallMessageHandler(messageHandler);
        s.handlerInstalled = true;
    }
}

void Logger::removeAppender(AbstractAppender *appender)
{
    LoggerState &s = state();
    QMutexLocker locker(&s.mutex);
    s.appenders.removeAll(appender);
    if (s.appenders.isEmpty() && s.handlerInstalled) {
        qInstallMessageHandler(s.previousHandler);
        s.handlerInstalled = false;
    }
}

QList<AbstractAppender *> Logger::registeredAppenders()
{
    LoggerState &s = state();
    QMutexLocker locker(&s.mutex);
    return s.appenders;
}

QString Logger::levelToString(LogLevel level)
{
    switch (level) {
    case Trace: return QStringLiteral("Trace");
    case Debug: return QStringLiteral("Debug");
    case Info: return QStringLiteral("Info");
    case Warning: return QStringLiteral("Warning");
    case Error: return QStringLiteral("Error");
    case Fatal: return QStringLiteral("Fatal");
    }
    return QString();
}

void Logger::write(LogLevel level, const char *file, int line, const char *function,
                   const char *category, const QString &message)
{
    if (dispatching) {
        const QByteArray text = message.toLocal8Bit();
        std::fprintf(stderr, "%s\n", text.constData());
        std::fflush(stderr);
        return;
    }
    dispatching = true;
    const QDateTime now = QDateTime::currentDateTime();
    {
        // Held for the whole round so that removeAppender() returns only once
        // no thread is inside the appender any more.
        LoggerState &s = state();
        QMutexLocker locker(&s.mutex);
        for (AbstractAppender *appender : qAsConst(s.appenders))
            appender->write(now, level, line, file, function, category, message);
    }
    dispatching = false;
}
