#include "filehandler.h"
#include "filehandler_p.h"
#include "openfile_p.h"
#include "request.h"
#include "response.h"
#include "response_p.h"

#include <QtCore/QDateTime>
#include <QtCore/QDebug>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QLocale>
#include <QtCore/QLoggingCategory>
#include <QtCore/QMimeDatabase>
#include <QtCore/QMimeType>
#include <QtCore/QStringList>
#include <QtCore/QVarLengthArray>

#include <cstring>
#include <limits>

#ifdef Q_OS_LINUX
#include <unistd.h>
#endif

namespace http {
namespace server {

namespace {

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity fileNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity fileNameCase = Qt::CaseSensitive;
#endif

QMimeDatabase &mimeDatabase()
{
    // Made on first use and kept for the life of the process.
    static QMimeDatabase database;
    return database;
}

// The names browsers insist on (module scripts, WebAssembly), whatever the
// system's database calls them or when it does not know them.
QString webTypeFor(const QString &suffix)
{
    static const QHash<QString, QString> types = {
        {QStringLiteral("html"), QStringLiteral("text/html")},
        {QStringLiteral("htm"), QStringLiteral("text/html")},
        {QStringLiteral("txt"), QStringLiteral("text/plain")},
        {QStringLiteral("css"), QStringLiteral("text/css")},
        {QStringLiteral("js"), QStringLiteral("text/javascript")},
        {QStringLiteral("mjs"), QStringLiteral("text/javascript")},
        {QStringLiteral("json"), QStringLiteral("application/json")},
        {QStringLiteral("wasm"), QStringLiteral("application/wasm")},
        {QStringLiteral("svg"), QStringLiteral("image/svg+xml")},
        {QStringLiteral("png"), QStringLiteral("image/png")},
        {QStringLiteral("jpg"), QStringLiteral("image/jpeg")},
        {QStringLiteral("jpeg"), QStringLiteral("image/jpeg")},
        {QStringLiteral("webp"), QStringLiteral("image/webp")},
        {QStringLiteral("woff2"), QStringLiteral("font/woff2")},
    };
    return types.value(suffix.toLower());
}

QString httpDate(qint64 msecsSinceEpoch)
{
    // By hand: a date through QLocale costs more than the rest of a small file's answer.
    static const char days[][4] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char months[][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // The proleptic Gregorian calendar in UTC, as QDateTime counts it, by
    // whole days since 1970-01-01 (a Thursday).
    const qint64 seconds = msecsSinceEpoch / 1000 - (msecsSinceEpoch % 1000 < 0 ? 1 : 0);
    const qint64 dayNumber = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
    const int secondOfDay = int(seconds - dayNumber * 86400);
    // Days to civil date, in eras of 400 years that start on March 1st.
    const qint64 shifted = dayNumber + 719468;
    const qint64 era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const qint64 dayOfEra = shifted - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 monthIndex = (5 * dayOfYear + 2) / 153; // 0 is March
    const int day = int(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const int month = int(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    const qint64 year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    const int weekDay = int(((dayNumber + 3) % 7 + 7) % 7); // 0 is Monday
    char text[] = "Ddd, 00 Mmm 0000 00:00:00 GMT";
    const auto put = [&text](int at, int value, int digits) {
        for (int i = at + digits - 1; i >= at; --i, value /= 10)
            text[i] = char('0' + value % 10);
    };
    memcpy(text, days[weekDay], 3);
    put(5, day, 2);
    memcpy(text + 8, months[month - 1], 3);
    put(12, int(qBound<qint64>(0, year, 9999)), 4);
    put(17, secondOfDay / 3600, 2);
    put(20, secondOfDay / 60 % 60, 2);
    put(23, secondOfDay % 60, 2);
    return QString::fromLatin1(text, sizeof text - 1);
}

// Digits of a number in a base up to 16, written backwards from end; returns where they start.
char *digitsOf(quint64 value, unsigned base, char *end)
{
    do {
        *--end = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    return end;
}

// QString::number() goes through the locale's data; these are plain ASCII.
QString decimal(qint64 value)
{
    char text[24];
    char *end = text + sizeof text;
    char *start = digitsOf(value < 0 ? 0 - quint64(value) : quint64(value), 10, end);
    if (value < 0)
        *--start = '-';
    return QString::fromLatin1(start, int(end - start));
}

// "modified-size" in hex; as QString::number(value, 16) does, a time before
// 1970 is written as its unsigned two's complement.
QString entityTag(qint64 modifiedMs, qint64 size)
{
    char text[40];
    char *end = text + sizeof text;
    char *start = end;
    *--start = '"';
    start = digitsOf(quint64(size), 16, start);
    *--start = '-';
    start = digitsOf(quint64(modifiedMs), 16, start);
    *--start = '"';
    return QString::fromLatin1(start, int(end - start));
}

// Where the open file really lies, symbolic links followed. On Linux the
// descriptor tells, so a link swapped after the check cannot mislead it.
QString realPathOf(const OpenFile &file)
{
#ifdef Q_OS_LINUX
    char link[32] = "/proc/self/fd/";
    char *end = link + 14;
    char digits[12];
    int count = 0;
    for (int fd = file.handle(); count == 0 || fd > 0; fd /= 10)
        digits[count++] = char('0' + fd % 10);
    while (count > 0)
        *end++ = digits[--count];
    *end = '\0';
    char path[4096];
    const ssize_t length = ::readlink(link, path, sizeof path);
    if (length > 0 && size_t(length) < sizeof path)
        return QString::fromLocal8Bit(path, int(length)); // as QFile::decodeName()
#endif
    return QFileInfo(file.fileName()).canonicalFilePath();
}

void logAnswer(int status, const QString &path)
{
    // The stream is built before the category is asked; a server logs no debug lines as a rule.
    if (status >= 400)
        qWarning() << status << ":" << path;
    else if (QLoggingCategory::defaultCategory()->isDebugEnabled())
        qDebug() << status << ":" << path;
}

// Seconds since the epoch, or -1 for anything but the one form servers send.
qint64 parseHttpDate(const QString &text)
{
    QDateTime date = QLocale::c().toDateTime(text.trimmed(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
    if (!date.isValid())
        return -1;
    date.setTimeSpec(Qt::UTC);
    return date.toSecsSinceEpoch();
}

// If-None-Match: weak comparison, as for GET and HEAD.
bool matchesAnyTag(const QString &tags, const QString &etag)
{
    for (QStringRef tag : tags.splitRef(QLatin1Char(','))) {
        tag = tag.trimmed();
        if (tag == QLatin1String("*"))
            return true;
        if (tag.startsWith(QLatin1String("W/")))
            tag = tag.mid(2);
        if (tag == etag)
            return true;
    }
    return false;
}

bool notModified(const Request &request, const QString &etag, qint64 modifiedMs)
{
    // A tag, when given, decides alone.
    const QString tags = request.header(QStringLiteral("if-none-match"));
    if (!tags.isEmpty())
        return matchesAnyTag(tags, etag);
    const QString since = request.header(QStringLiteral("if-modified-since"));
    if (since.isEmpty())
        return false;
    const qint64 sinceSeconds = parseHttpDate(since);
    return sinceSeconds >= 0 && modifiedMs / 1000 <= sinceSeconds;
}

// If-Range: a range of a file that changed since would splice two versions.
bool rangeStillApplies(const QString &ifRange, const QString &etag, qint64 modifiedMs)
{
    if (ifRange.isEmpty())
        return true;
    if (ifRange.startsWith(QLatin1Char('"')))
        return ifRange == etag;
    return parseHttpDate(ifRange) == modifiedMs / 1000 && modifiedMs >= 0;
}

// Decimal digits only; values beyond any file size saturate.
bool parseNumber(const QStringRef &digits, qint64 *value)
{
    if (digits.isEmpty())
        return false;
    qint64 result = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        result = result > std::numeric_limits<qint64>::max() / 20 ? result : result * 10 + (c.unicode() - '0');
    }
    *value = result;
    return true;
}

enum class RangeKind { Whole, Piece, Unsatisfiable };

// One byte range (a-b, a- or -n); anything else means the whole file.
RangeKind parseRange(const QString &header, qint64 size, FilePiece *piece)
{
    const QStringRef value = header.midRef(0).trimmed();
    if (!value.startsWith(QLatin1String("bytes="), Qt::CaseInsensitive))
        return RangeKind::Whole;
    const QStringRef range = value.mid(6).trimmed();
    const int dash = range.indexOf(QLatin1Char('-'));
    if (dash < 0 || range.contains(QLatin1Char(',')))
        return RangeKind::Whole;
    const QStringRef firstText = range.left(dash).trimmed();
    const QStringRef lastText = range.mid(dash + 1).trimmed();

    qint64 first = 0;
    qint64 last = 0;
    if (firstText.isEmpty()) {
        if (!parseNumber(lastText, &last))
            return RangeKind::Whole;
        if (last == 0 || size == 0)
            return RangeKind::Unsatisfiable;
        *piece = {size - qMin(last, size), qMin(last, size)};
        return RangeKind::Piece;
    }
    if (!parseNumber(firstText, &first))
        return RangeKind::Whole;
    if (lastText.isEmpty())
        last = size - 1;
    else if (!parseNumber(lastText, &last) || last < first)
        return RangeKind::Whole;
    if (first >= size)
        return RangeKind::Unsatisfiable;
    last = qMin(last, size - 1);
    *piece = {first, last - first + 1};
    return RangeKind::Piece;
}

} // namespace

FileHandlerPrivate::FileHandlerPrivate(FileHandler *q, const QString &baseDir)
    : baseDir(baseDir)
    , q(q)
{
}

QString FileHandlerPrivate::fileNameFor(const QString &requestPath, bool *folder) const
{
    // The path arrives as the client sent it. Clients percent-encode names with
    // spaces or non-ASCII letters (UTF-8), so decode before looking for the file;
    // the dot-dot check below runs on the decoded text, where %2e%2e is "..".
    // Plain ASCII without a '%' decodes to itself, which spares two copies.
    QString decoded = requestPath;
    for (const QChar c : requestPath) {
        if (c.unicode() == '%' || c.unicode() >= 0x80) {
            const QByteArray bytes = QByteArray::fromPercentEncoding(requestPath.toLatin1());
            // With its size, so that a NUL byte is kept and refused below instead of cutting the text.
            decoded = QString::fromUtf8(bytes.constData(), bytes.size());
            break;
        }
    }
    if (decoded.contains(QChar(0)))
        return QString(); // the file system would cut the name short there

    const auto isSeparator = [](QChar c) {
#ifdef Q_OS_WIN
        return c == QLatin1Char('/') || c == QLatin1Char('\\');
#else
        return c == QLatin1Char('/');
#endif
    };
    // Resolve dot segments by text, before the file system sees them: a ".."
    // after a symbolic link would otherwise climb from the link's target.
    QVarLengthArray<QStringRef, 16> segments;
    int start = 0;
    bool endsWithFolder = true;
    for (int i = 0; i <= decoded.size(); ++i) {
        if (i < decoded.size() && !isSeparator(decoded.at(i)))
            continue;
        const QStringRef segment = decoded.midRef(start, i - start);
        start = i + 1;
        endsWithFolder = segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String("..");
        if (segment.isEmpty() || segment == QLatin1String("."))
            continue;
        if (segment == QLatin1String("..")) {
            if (segments.isEmpty())
                return QString();
            segments.removeLast();
            continue;
        }
        segments.append(segment);
    }
    if (folder)
        *folder = endsWithFolder;

    QString fileName;
    fileName.reserve(baseDir.size() + 1 + decoded.size() + segments.size());
    fileName += baseDir;
    fileName += QLatin1Char('/');
    for (const QStringRef &segment : qAsConst(segments)) {
        fileName += QLatin1Char('/');
        fileName += segment;
    }
    return fileName;
}

QString FileHandlerPrivate::realBaseDir()
{
    // Kept while the base folder stays the same: it is asked for on every request.
    if (realBase.isEmpty() || realBaseFor != baseDir) {
        realBaseFor = baseDir;
        realBase = QFileInfo(baseDir.isEmpty() ? QStringLiteral("/") : baseDir).canonicalFilePath();
    }
    return realBase;
}

bool FileHandlerPrivate::isInside(const QString &realName)
{
    const QString base = realBaseDir();
    if (realName.isEmpty() || base.isEmpty())
        return false;
    if (realName.compare(base, fileNameCase) == 0)
        return true;
    // The root folder ends in a separator already.
    return realName.startsWith(base, fileNameCase)
        && (base.endsWith(QLatin1Char('/')) || realName.at(base.size()) == QLatin1Char('/'));
}

QString FileHandlerPrivate::mimeTypeNameFor(const QString &fileName)
{
    // Matching by extension looks at the last path segment only, so the same
    // name gives the same type in any folder. The whole name is the key, not
    // its suffix: globs such as "CMakeLists.txt" or "*.tar.gz" go beyond it.
    const QStringRef nameRef = fileName.midRef(fileName.lastIndexOf(QLatin1Char('/')) + 1);
    // The same file asked for again spares the copy of its name for the hash.
    if (!lastTypeName.isNull() && nameRef == lastName)
        return lastTypeName;
    const QString name = nameRef.toString();
    const auto found = mimeTypeNames.constFind(name);
    if (found != mimeTypeNames.constEnd()) {
        lastName = name;
        lastTypeName = found.value();
        return lastTypeName;
    }
    const QMimeType type = mimeDatabase().mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    QString typeName = type.name();
    // The web's name where the database knows the type by another one, or not at all.
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString webType = dot >= 0 ? webTypeFor(name.mid(dot + 1)) : QString();
    if (!webType.isEmpty() && (type.isDefault() || type.aliases().contains(webType)))
        typeName = webType;
    // A bound keeps a server that is asked for ever new names flat.
    if (mimeTypeNames.size() >= 1024)
        mimeTypeNames.clear();
    mimeTypeNames.insert(name, typeName);
    lastName = name;
    lastTypeName = typeName;
    return typeName;
}

bool FileHandlerPrivate::handle(QSharedPointer<Request> request, QSharedPointer<Response> response)
{
    const QString path = request->path();
    const Request::HttpMethod method = request->method();
    if (method != Request::HTTP_GET && method != Request::HTTP_HEAD) {
        response->setHeader(QStringLiteral("Allow"), QStringLiteral("GET, HEAD"));
        sendStatus(request.data(), response.data(), Response::MethodNotAllowed);
        return true;
    }

    bool folder = false;
    QString fileName = fileNameFor(path, &folder);
    auto file = QSharedPointer<OpenFile>::create(fileName);
    OpenFile::Kind kind = fileName.isNull() ? OpenFile::Missing : file->kind();
    if (kind == OpenFile::Folder && !indexFileName.isEmpty()) {
        if (!isInside(QFileInfo(fileName).canonicalFilePath()))
            return refuse(request.data(), response.data());
        if (!folder) {
            // Relative links in the index resolve against the folder only
            // with the slash. Leading slashes are cut: "//host/" would lead
            // the browser to another site.
            QString location = path;
            while (location.startsWith(QLatin1Char('/')) || location.startsWith(QLatin1Char('\\')))
                location.remove(0, 1);
            location = QLatin1Char('/') + location + QLatin1Char('/');
            if (request->url().hasQuery())
                location += QLatin1Char('?') + request->url().query(QUrl::FullyEncoded);
            response->setHeader(QStringLiteral("Location"), location);
            sendStatus(request.data(), response.data(), Response::MovedPermanently);
            return true;
        }
        fileName += QLatin1Char('/') + indexFileName;
        file = QSharedPointer<OpenFile>::create(fileName);
        kind = file->kind();
        folder = false;
    }
    if (fileName.isNull())
        return refuse(request.data(), response.data());

    // Only regular files: opening a pipe or a device could block the thread.
    // "/name/" names a folder, never the file "name".
    if (folder || kind != OpenFile::Regular || !file->open()) {
        sendStatus(request.data(), response.data(), Response::NotFound);
        return true;
    }
    if (!isInside(realPathOf(*file)))
        return refuse(request.data(), response.data());
    sendFile(request.data(), response.data(), file, mimeTypeNameFor(fileName));
    return true;
}

bool FileHandlerPrivate::refuse(Request *request, Response *response)
{
    qWarning() << "Refused a path that leads outside the base folder:" << request->path();
    sendStatus(request, response, Response::NotFound);
    return true;
}

void FileHandlerPrivate::sendFile(Request *request, Response *response, const QSharedPointer<OpenFile> &file,
                                  const QString &type)
{
    const qint64 size = file->size();
    const qint64 modifiedMs = file->modifiedMs();
    const QString etag = entityTag(modifiedMs, size);
    const QString lastModified = httpDate(modifiedMs);
    // Text made here holds no line break: setHeader() need not look for one.
    ResponsePrivate *own = ResponsePrivate::get(response);

    if (notModified(*request, etag, modifiedMs)) {
        own->setOwnHeader(QStringLiteral("ETag"), etag);
        own->setOwnHeader(QStringLiteral("Last-Modified"), lastModified);
        // The length a 200 would have had: the connection may stay open.
        own->setOwnHeader(QStringLiteral("Content-Length"), QString::number(size));
        response->writeHead(Response::NotModified);
        response->end();
        logAnswer(Response::NotModified, request->path());
        return;
    }

    FilePiece piece{0, size};
    int status = Response::OK;
    QString contentRange;
    const QString range = request->header(QStringLiteral("range"));
    if (request->method() == Request::HTTP_GET && !range.isEmpty()
        && rangeStillApplies(request->header(QStringLiteral("if-range")), etag, modifiedMs)) {
        switch (parseRange(range, size, &piece)) {
        case RangeKind::Unsatisfiable:
            own->setOwnHeader(QStringLiteral("Content-Range"), QStringLiteral("bytes */%1").arg(size));
            sendStatus(request, response, Response::RequestedRangeNotSatisfiable);
            return;
        case RangeKind::Piece:
            status = Response::PartialContent;
            contentRange = QStringLiteral("bytes %1-%2/%3").arg(piece.offset).arg(piece.offset + piece.length - 1).arg(size);
            break;
        case RangeKind::Whole:
            break;
        }
    }

    response->setHeader(QStringLiteral("Content-Type"), type); // the system's database may say anything
    if (!contentRange.isEmpty())
        own->setOwnHeader(QStringLiteral("Content-Range"), contentRange);
    const QString length = decimal(piece.length);
    own->setOwnHeader(QStringLiteral("Content-Size"), length);
    // With the length a client can tell a cut-off file from a whole one, and
    // the connection can stay open for its next request.
    own->setOwnHeader(QStringLiteral("Content-Length"), length);
    own->setOwnHeader(QStringLiteral("Accept-Ranges"), QStringLiteral("bytes"));
    own->setOwnHeader(QStringLiteral("ETag"), etag);
    own->setOwnHeader(QStringLiteral("Last-Modified"), lastModified);
    response->writeHead(status);
    sendPiece(response, file, piece);
    response->end();
    logAnswer(status, request->path());
}

void FileHandlerPrivate::sendPiece(Response *response, const QSharedPointer<OpenFile> &file, FilePiece piece)
{
    // The connection sends it from the file as the client takes it, so that
    // memory does not grow with the file; nothing goes in answer to HEAD.
    ResponsePrivate::get(response)->writeFile(file, piece.offset, piece.length);
}

void FileHandlerPrivate::sendStatus(Request *request, Response *response, int status)
{
    sendStatusAnswer(*response, status, QStringLiteral("text/plain"));
    logAnswer(status, request->path());
}

FileHandler::FileHandler(QObject *parent)
    : FileHandler(QString(), parent)
{
}

FileHandler::FileHandler(const QString &baseDir, QObject *parent)
    : QObject(parent)
    , d(new FileHandlerPrivate(this, baseDir))
{
}

FileHandler::~FileHandler()
{
    delete d;
}

QString FileHandler::baseDir() const
{
    return d->baseDir;
}

void FileHandler::setBaseDir(const QString &baseDir)
{
    d->baseDir = baseDir;
}

QString FileHandler::indexFileName() const
{
    return d->indexFileName;
}

void FileHandler::setIndexFileName(const QString &name)
{
    d->indexFileName = name;
}

bool FileHandler::handle(QSharedPointer<Request> request, QSharedPointer<Response> response,
                         QSharedPointer<DispatchContext> context)
{
    Q_UNUSED(context)
    return d->handle(request, response);
}

} // namespace server
} // namespace http
