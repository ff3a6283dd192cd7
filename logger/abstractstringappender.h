#pragma once

#include <QString>
#include <QVector>

#include "abstractappender.h"

// An appender that turns each message into one piece of text by a format
// string. Placeholders:
//
//   %t          time stamp of the message, local time, as yyyy-MM-ddTHH:mm:ss.zzz
//   %t{pattern} time stamp with a QDateTime::toString pattern, e.g. %t{HH:mm:ss}
//   %T          number of the thread that logged: threads are counted from 1 in
//               the order in which they log their first message, so the main
//               thread is normally 1
//   %l          level name: Trace, Debug, Info, Warning, Error or Fatal
//   %L          level name in capitals
//   %k          logging category, "default" for uncategorised messages
//   %m          the message
//   %F          source file name (without directories), %i source line and
//   %C          function; empty unless the application is built with
//               QT_MESSAGELOGCONTEXT (Qt leaves them out of release builds)
//   %%          a percent sign
//
// A width between the percent sign and the letter pads the text with blanks
// to at least that many characters: %-7l pads on the right (left-aligned),
// %7l on the left. Longer text is never cut. Anything else after a percent
// sign is copied unchanged. The format is written as it stands, so it must end
// with a line feed if each message is to be a line; the default format does.
class AbstractStringAppender : public AbstractAppender
{
public:
    AbstractStringAppender();

    QString format() const;
    void setFormat(const QString &format);

    // "[%-4T][%t{yyyy-MM-ddTHH:mm:ss.zzz}][%-7l][%k] %m\n"
    static QString defaultFormat();

protected:
    QString formattedString(const QDateTime &timeStamp, Logger::LogLevel level, int line,
                            const char *file, const char *function, const char *category,
                            const QString &message) const;

private:
    struct Token
    {
        enum Kind { Literal, TimeStamp, Thread, Level, LevelUpper, Category, Message, File, Line, Function };
        Kind kind = Literal;
        QString text; // literal text, or the date pattern of a time stamp
        int width = 0; // negative: left-aligned
    };

    static QVector<Token> parse(const QString &format);

    mutable QMutex formatMutex; // setFormat may race with a write on another thread
    QString formatString;
    QVector<Token> tokens;
};
