#ifndef ZNHTTP_RESPONSE_P_H
#define ZNHTTP_RESPONSE_P_H

#include "response.h"

#include <QtCore/QLoggingCategory>
#include <QtCore/QPair>
#include <QtCore/QSharedPointer>
#include <QtCore/QString>
#include <QtCore/QVarLengthArray>

namespace http {
namespace server {

class OpenFile;

Q_DECLARE_LOGGING_CATEGORY(lcResponse)

// The reason phrase of a status code, or an empty text for a code without one.
// A pure function, so that servers on several threads share it safely.
QLatin1String reasonPhrase(int statusCode);
// The current time as a Date header wants it, in English whatever the locale.
const QByteArray &httpDate();

class ResponsePrivate
{
public:
    ResponsePrivate(Response *q, Connection *connection);

    static ResponsePrivate *get(Response *response) { return response->d; }

    // A part of a file as body, sent from the file as the client takes it.
    void writeFile(const QSharedPointer<OpenFile> &file, qint64 offset, qint64 length);
    bool mayWriteBody(const char *operation) const;

    // Sets a header that the library wrote itself: its text holds no line
    // break, so the scan of setHeader() is spared.
    void setOwnHeader(const QString &field, const QString &value);
    void putHeader(const QString &field, const QString &value);

    void writeHeaderBlock(QByteArray &head);
    void writeHeader(QByteArray &head, const QString &name, const QString &value);
    void onConnectionDestroyed();

    Connection *connection;
    // In the order they were set; a handful at most, so a list beats a hash.
    QVarLengthArray<QPair<QString, QString>, 6> headers;
    bool headWritten = false;
    bool userConnection = false;
    bool userContentLength = false;
    bool userTransferEncoding = false;
    bool userDate = false;
    bool keepAlive = true;
    bool closeAfter = false;
    bool chunkedDeclared = false;
    bool finished = false;
    int status = 0;
    Response *q;

    bool headRequest = false; // set by the connection: no body is sent in answer to HEAD
};

} // namespace server
} // namespace http

#endif // ZNHTTP_RESPONSE_P_H
