#pragma once

#include <QFile>
#include <QString>

#include "abstractstringappender.h"

// Appends each formatted message, in UTF-8, to a file. The file is opened on
// the first message (so an appender can be made before its folder exists) and
// flushed after every message. A file that cannot be opened is reported once
// on the standard error stream and tried again with the next message; the
// messages in between are lost for this appender only.
class FileAppender : public AbstractStringAppender
{
public:
    explicit FileAppender(const QString &fileName = QString());
    ~FileAppender() override;

    QString fileName() const;
    void setFileName(const QString &fileName);

protected:
    void append(const QDateTime &timeStamp, Logger::LogLevel level, int line, const char *file,
                const char *function, const char *category, const QString &message) override;

    // Helpers for subclasses; called with the appender's lock held.
    bool openFile();
    void closeFile();
    qint64 fileSize() const;
    void writeToFile(const QByteArray &data);

private:
    QFile logFile;
    bool openFailureReported = false;
};
