#ifndef ZNHTTP_FILEHANDLER_P_H
#define ZNHTTP_FILEHANDLER_P_H

#include "filehandler.h"

#include <QtCore/QHash>
#include <QtCore/QObject>

namespace http {
namespace server {

class OpenFile;

// The part of a file that a response carries.
struct FilePiece
{
    qint64 offset = 0;
    qint64 length = 0;
};

class FileHandlerPrivate : public QObject
{
public:
    FileHandlerPrivate(FileHandler *q, const QString &baseDir);

    virtual bool handle(QSharedPointer<Request> request, QSharedPointer<Response> response);

    // The file name for a request path, or a null string when the path would
    // lead outside the base folder. *folder tells whether the path names a
    // folder by its form (a trailing slash, or a last "." or "..").
    QString fileNameFor(const QString &requestPath, bool *folder = nullptr) const;

    // Whether a real path (symbolic links followed) lies in the real base folder.
    bool isInside(const QString &realName);
    QString realBaseDir();
    bool refuse(Request *request, Response *response);

    // The MIME type name for a file, found by its name alone.
    QString mimeTypeNameFor(const QString &fileName);

    void sendFile(Request *request, Response *response, const QSharedPointer<OpenFile> &file,
                  const QString &type);
    void sendPiece(Response *response, const QSharedPointer<OpenFile> &file, FilePiece piece);
    void sendStatus(Request *request, Response *response, int status);

    // Type names by file name (without folder): matching the name against the
    // database's globs costs far more than sending a small file.
    QHash<QString, QString> mimeTypeNames;
    QString lastName; // the name and type asked for last
    QString lastTypeName;

    QString baseDir;
    FileHandler *q;
    QString indexFileName;
    QString realBaseFor; // the baseDir that realBase belongs to
    QString realBase;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_FILEHANDLER_P_H
