#pragma once

#include "abstractstringappender.h"

// Writes each formatted message to the standard error stream in the local
// 8-bit encoding, flushed at once so that lines of a crashing process are kept.
class ConsoleAppender : public AbstractStringAppender
{
public:
    ConsoleAppender();

protected:
    void append(const QDateTime &timeStamp, Logger::LogLevel level, int line, const char *file,
                const char *function, const char *category, const QString &message) override;
};
