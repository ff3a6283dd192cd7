#ifndef ZNHTTP_FILEHANDLER_H
#define ZNHTTP_FILEHANDLER_H

#include "znhttp_global.h"
#include "serverhandler.h"

#include <QtCore/QObject>
#include <QtCore/QString>

namespace http {
namespace server {

class FileHandlerPrivate;

/**
 * Serves the files below a base folder; takes every request that reaches it.
 * \headerfile filehandler.h <zn-http/filehandler.h>
 *
 * - GET and HEAD only; other methods get 405 with "Allow: GET, HEAD".
 * - The file is the one the request path names below the base folder
 *   (percent sequences decoded as UTF-8). Paths that climb out of it, and symbolic links that lead out of
 *   it, get 404 and a warning; links that stay inside are followed. Missing
 *   files, folders (see setIndexFileName()) and anything but regular files
 *   get 404.
 * - "Content-Type" from the file name, "ETag" and "Last-Modified";
 *   "If-None-Match" or "If-Modified-Since" can give 304 Not Modified.
 * - One byte range ("Range: bytes=a-b", "a-" or "-n") gives 206 with
 *   "Content-Range", a range beyond the end 416; "If-Range" is honoured.
 *   Several ranges get the whole file.
 * - The file is sent from its descriptor as the client takes it, so memory
 *   does not grow with its size; with its "Content-Length" the connection
 *   stays open for the next request. A file that shrinks or fails on the way
 *   cuts its answer off and closes the connection, with a warning.
 */
class ZNHTTP_EXPORT FileHandler : public QObject, public ServerHandler
{
    Q_OBJECT
public:
    /// A handler without a base folder, which stands for the root folder:
    /// set one with setBaseDir() before use.
    explicit FileHandler(QObject *parent = nullptr);
    /// A handler for the files below \a baseDir.
    FileHandler(const QString &baseDir, QObject *parent);
    ~FileHandler() override;

    /// The folder whose files are served.
    QString baseDir() const;
    /// Sets the folder whose files are served, for the requests to come.
    void setBaseDir(const QString &baseDir);

    /// The file served for a folder; see setIndexFileName().
    QString indexFileName() const;
    /**
     * Sets the file served for a folder, such as "index.html". A folder asked
     * for without its trailing slash is then redirected (301) to the path
     * with it. None by default: folders get 404.
     */
    void setIndexFileName(const QString &name);

    /// Answers the request as the class description says and returns true.
    /// The file is found from the request's full path; \a context is not used.
    bool handle(QSharedPointer<Request> request, QSharedPointer<Response> response,
                QSharedPointer<DispatchContext> context) override;

private:
    friend class FileHandlerPrivate;
    FileHandlerPrivate *d;
    Q_DISABLE_COPY(FileHandler)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_FILEHANDLER_H
