#ifndef ZNHTTP_FILEHANDLER_H
#define ZNHTTP_FILEHANDLER_H

#include "znhttp_global.h"
#include "serverhandler.h"

#include <QtCore/QObject>
#include <QtCore/QString>

namespace http {
namespace server {

class FileHandlerPrivate;

// Serves the files below a base folder (GET and HEAD; 405 otherwise), with a
// content type taken from the file name, validators for conditional requests
// and single byte ranges; 404 for anything else, and for symbolic links that
// lead outside the folder. Takes every request that reaches it.
class ZNHTTP_EXPORT FileHandler : public QObject, public ServerHandler
{
    Q_OBJECT
public:
    explicit FileHandler(QObject *parent = nullptr);
    FileHandler(const QString &baseDir, QObject *parent);
    ~FileHandler() override;

    QString baseDir() const;
    void setBaseDir(const QString &baseDir);

    // The file served for a folder, such as "index.html"; a folder asked for
    // without its trailing slash is then redirected to it. None by default:
    // folders get 404.
    QString indexFileName() const;
    void setIndexFileName(const QString &name);

    // The file is found from the request's full path; the context is not used.
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
