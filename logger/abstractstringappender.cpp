#include "abstractstringappender.h"

#include <QAtomicInt>
#include <QFileInfo>

QString AbstractStringAppender::defaultFormat()
{
    return QStringLiteral("[%-4T][%t{yyyy-MM-ddTHH:mm:ss.zzz}][%-7l][%k] %m\n");
}

namespace {

int currentThreadNumber()
{
    static QAtomicInt lastNumber;
    thread_local int number = 0;
    if (number == 0)
        number = lastNumber.fetchAndAddRelaxed(1) + 1;
    return number;
}

QString padded(const QString &text, int width)
{
    if (width < 0)
        return text.leftJustified(-width, QLatin1Char(' '));
    if (width > 0)
        return text.rightJustified(width, QLatin1Char(' '));
    return text;
}

} // namespace

AbstractStringAppender::AbstractStringAppender()
{
    setFormat(defaultFormat());
}

QString AbstractStringAppender::format() const
{
    QMutexLocker locker(&formatMutex);
    return formatString;
}

void AbstractStringAppender::setFormat(const QString &format)
{
    QVector<Token> parsed = parse(format);
    QMutexLocker locker(&formatMutex);
    formatString = format;
    tokens = std::move(parsed);
}

QVector<AbstractStringAppender::Token> AbstractStringAppender::parse(const QString &format)
{
    QVector<Token> result;
    QString literal;
    auto flushLiteral = [&] {
        if (literal.isEmpty())
            return;
        Token token;
        token.text = literal;
        result.append(token);
        literal.clear();
    };

    const int size = format.size();
    int i = 0;
    while (i < size) {
        const QChar c = format.at(i);
        if (c != QLatin1Char('%')) {
            literal.append(c);
            ++i;
            continue;
        }
        if (i + 1 < size && format.at(i + 1) == QLatin1Char('%')) {
            literal.append(c);
            i += 2;
            continue;
        }

        // %[-][width]letter
        const int start = i++;
        bool left = false;
        if (i < size && format.at(i) == QLatin1Char('-')) {
            left = true;
            ++i;
        }
        int width = 0;
        while (i < size && format.at(i).isDigit() && width < 10000)
            width = width * 10 + format.at(i++).digitValue();
        if (i >= size) {
            literal.append(format.mid(start));
            break;
        }

        Token token;
        token.width = left ? -width : width;
        switch (format.at(i).unicode()) {
        case 't':
            token.kind = Token::TimeStamp;
            token.text = QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz");
            if (i + 1 < size && format.at(i + 1) == QLatin1Char('{')) {
                const int close = format.indexOf(QLatin1Char('}'), i + 2);
                if (close > 0) {
                    token.text = format.mid(i + 2, close - i - 2);
                    i = close;
                }
            }
            break;
        case 'T': token.kind = Token::Thread; break;
        case 'l': token.kind = Token::Level; break;
        case 'L': token.kind = Token::LevelUpper; break;
        case 'k': token.kind = Token::Category; break;
        case 'm': token.kind = Token::Message; break;
        case 'F': token.kind = Token::File; break;
        case 'i': token.kind = Token::Line; break;
        case 'C': token.kind = Token::Function; break;
        default:
            // not a placeholder: keep the text as written
            literal.append(format.mid(start, i + 1 - start));
            ++i;
            continue;
        }
        ++i;
        flushLiteral();
        result.append(token);
    }
    flushLiteral();
    return result;
}

QString AbstractStringAppender::formattedString(const QDateTime &timeStamp, Logger::LogLevel level,
                                                int line, const char *file, const char *function,
                                                const char *category, const QString &message) const
{
    QMutexLocker locker(&formatMutex);
    QString result;
    result.reserve(message.size() + 96);
    for (const Token &token : tokens) {
        QString text;
        switch (token.kind) {
        case Token::Literal:
            result.append(token.text);
            continue;
        case Token::TimeStamp: text = timeStamp.toString(token.text); break;
        case Token::Thread: text = QString::number(currentThreadNumber()); break;
        case Token::Level: text = Logger::levelToString(level); break;
        case Token::LevelUpper: text = Logger::levelToString(level).toUpper(); break;
        case Token::Category:
            text = category && *category ? QString::fromUtf8(category) : QStringLiteral("default");
            break;
        case Token::Message: text = message; break;
        case Token::File:
            if (file)
                text = QFileInfo(QString::fromUtf8(file)).fileName();
            break;
        case Token::Line:
            if (line > 0)
                text = QString::number(line);
            break;
        case Token::Function:
            if (function)
                text = QString::fromUtf8(function);
            break;
        }
        result.append(padded(text, token.width));
    }
    return result;
}
