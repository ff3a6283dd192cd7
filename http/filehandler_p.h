#ifndef ZNHTTP_FILEHANDLER_P_H
#define ZNHTTP_FILEHANDLER_P_H

#include "filehandler.h"

#include <QtCore/QHash>
#include <QtCore/QObject>

namespace http {
namespace server {

class FileHandlerPrivate : public QObject
{
public:
    FileHandlerPrivate(FileHandler *q, const QString &baseDir);

    virtual bool handle(QSharedPointer<Request> request, QSharedPointer<Response> response);

    // The file name for a request path, or a null string when the path would
    // lead outside the base folder.
    QString fileNameFor(const QString &requestPath) const;

    // The MIME type name for a file, found by its name alone.
    QString mimeTypeNameFor(const QString &fileName);

    // Type names by file name (without folder): matching the name against the
    // database's globs costs far more than sending a small file.
    QHash<QString, QString> mimeTypeNames;

    QString baseDir;
    FileHandler *q;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_FILEHANDLER_P_H
