#pragma once

#include <QList>
#include <QString>

class AbstractAppender;

// Stand-in for the maker's logging library: a process-wide logger that takes
// over Qt's message handler once the first appender is registered and hands
// every message to each registered appender.
class Logger
{
public:
    enum LogLevel {
        Trace,
        Debug,
        Info,
        Warning,
        Error,
        Fatal
    };

    // Adds an appender for the rest of the process (or until removeAppender).
    // The logger does not take ownership: appenders are expected to outlive
    // every thread that logs, which for the agent means they are never deleted.
    static void registerAppender(AbstractAppender *appender);
    static void removeAppender(AbstractAppender *appender);
    static QList<AbstractAppender *> registeredAppenders();

    static QString levelToString(LogLevel level);

    // Hands one message to every registered appender. This is what the Qt
    // message handler calls; it may also be called directly.
    static void write(LogLevel level, const char *file, int line, const char *function,
                      const char *category, const QString &message);

private:
    Logger() = delete;
};
