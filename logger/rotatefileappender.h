#pragma once

#include "fileappender.h"

// A file appender that keeps the file below a size limit. When the next
// message would take the file past maxFileSize bytes, the file is rotated:
// file.(N-1) becomes file.N (the old file.N is dropped), ..., file.1 becomes
// file.2, file becomes file.1, and the message goes into a fresh file. N is
// backupCount, the number of rotated files kept besides the current one.
//
// A message longer than the limit on its own still goes into an empty file
// whole. A limit of 0 switches rotation off; a backupCount of 0 or less keeps
// no old files (the file is simply started afresh).
class RotateFileAppender : public FileAppender
{
public:
    RotateFileAppender(const QString &fileName, int backupCount, unsigned int maxFileSize);

    int backupCount() const;
    unsigned int maxFileSize() const;

protected:
    void append(const QDateTime &timeStamp, Logger::LogLevel level, int line, const char *file,
                const char *function, const char *category, const QString &message) override;

    // True when the message about to be written (pendingSize bytes) calls for
    // a rotation first.
    virtual bool checkRotateCondition();
    virtual void rotate();
    virtual bool rename(const QString &from, const QString &to);

    qint64 pendingSize = 0;

private:
    const int backups;
    const unsigned int maxSize;
    bool renameFailureReported = false;
};
