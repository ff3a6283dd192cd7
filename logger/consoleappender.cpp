#include "consoleappender.h"

#include <cstdio>

ConsoleAppender::ConsoleAppender() = default;

void ConsoleAppender::append(const QDateTime &timeStamp, Logger::LogLevel level, int line,
                             const char *file, const char *function, const char *category,
                             const QString &message)
{
    const QByteArray text =
        formattedString(timeStamp, level, line, file, function, category, message).toLocal8Bit();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}
