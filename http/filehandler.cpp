#include "filehandler.h"
#include "filehandler_p.h"
#include "request.h"
#include "response.h"

#include <QtCore/QDebug>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QMimeDatabase>
#include <QtCore/QMimeType>
#include <QtCore/QStringList>
#include <QtCore/QVector>

namespace http {
namespace server {

namespace {

QMimeDatabase &mimeDatabase()
{
    // Made on first use and kept for the life of the process.
    static QMimeDatabase database;
    return database;
}

} // namespace

FileHandlerPrivate::FileHandlerPrivate(FileHandler *q, const QString &baseDir)
    : baseDir(baseDir)
    , q(q)
{
}

QString FileHandlerPrivate::fileNameFor(const QString &requestPath) const
{
    // The path arrives as the client sent it. Clients percent-encode names with
    // spaces or non-ASCII letters (UTF-8), so decode before looking for the file;
    // the dot-dot check below runs on the decoded text, where %2e%2e is "..".
    const QByteArray bytes = QByteArray::fromPercentEncoding(requestPath.toLatin1());
    // With its size, so that a NUL byte is kept and refused below instead of cutting the text.
    const QString decoded = QString::fromUtf8(bytes.constData(), bytes.size());
    if (decoded.contains(QChar(0)))
        return QString(); // the file system would cut the name short there

#ifdef Q_OS_WIN
    const QString separators = QStringLiteral("/\\");
#else
    const QString separators = QStringLiteral("/");
#endif
    // Resolve dot segments by text, before the file system sees them: a ".."
    // after a symbolic link would otherwise climb from the link's target.
    QVector<QStringRef> segments;
    int start = 0;
    for (int i = 0; i <= decoded.size(); ++i) {
        if (i < decoded.size() && !separators.contains(decoded.at(i)))
            continue;
        const QStringRef segment = decoded.midRef(start, i - start);
        start = i + 1;
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

    QString fileName = baseDir + QLatin1Char('/');
    for (const QStringRef &segment : qAsConst(segments)) {
        fileName += QLatin1Char('/');
        fileName += segment;
    }
    return fileName;
}

QString FileHandlerPrivate::mimeTypeNameFor(const QString &fileName)
{
    // Matching by extension looks at the last path segment only, so the same
    // name gives the same type in any folder. The whole name is the key, not
    // its suffix: globs such as "CMakeLists.txt" or "*.tar.gz" go beyond it.
    const QString name = fileName.mid(fileName.lastIndexOf(QLatin1Char('/')) + 1);
    const auto found = mimeTypeNames.constFind(name);
    if (found != mimeTypeNames.constEnd())
        return found.value();
    const QString type = mimeDatabase().mimeTypeForFile(fileName, QMimeDatabase::MatchExtension).name();
    // A bound keeps a server that is asked for ever new names flat.
    if (mimeTypeNames.size() >= 1024)
        mimeTypeNames.clear();
    mimeTypeNames.insert(name, type);
    return type;
}

bool FileHandlerPrivate::handle(QSharedPointer<Request> request, QSharedPointer<Response> response)
{
    const QString path = request->path();
    const QString fileName = fileNameFor(path);
    if (fileName.isNull())
        qWarning() << "Refused a path that leads outside the base folder:" << path;

    // Only regular files: opening a pipe or a device could block the thread.
    QFile file(fileName);
    if (!fileName.isNull() && QFileInfo(fileName).isFile() && file.open(QIODevice::ReadOnly)) {
        response->setHeader(QStringLiteral("Content-Type"), mimeTypeNameFor(fileName));
        const QString size = QString::number(file.size());
        response->setHeader(QStringLiteral("Content-Size"), size);
        // The connection still closes after each file, but with a length a client
        // can tell a cut-off file from a whole one.
        response->setHeader(QStringLiteral("Content-Length"), size);
        response->setHeader(QStringLiteral("Connection"), QStringLiteral("close"));
        response->writeHead(Response::OK);
        // A body after a HEAD response would be taken for the next response.
        if (request->method() == Request::HTTP_HEAD)
            response->end();
        else
            response->end(file.readAll());
        qDebug() << 200 << ":" << path;
        return true;
    }

    response->setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/text"));
    response->writeHead(Response::NotFound);
    response->end();
    qWarning() << 404 << ":" << path;
    return true;
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

bool FileHandler::handle(QSharedPointer<Request> request, QSharedPointer<Response> response,
                         QSharedPointer<DispatchContext> context)
{
    Q_UNUSED(context)
    return d->handle(request, response);
}

} // namespace server
} // namespace http
