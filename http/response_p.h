#ifndef ZNHTTP_RESPONSE_P_H
#define ZNHTTP_RESPONSE_P_H

#include "response.h"

#include <QtCore/QHash>
#include <QtCore/QLoggingCategory>

namespace http {
namespace server {

Q_DECLARE_LOGGING_CATEGORY(lcResponse)

// Status code to reason phrase, shared by every server of the process. A
// lookup of an unknown code with operator[] adds it with an empty phrase.
extern QHash<int, QString> reasonPhrases;
void fillReasonPhrases();

class ResponsePrivate
{
public:
    ResponsePrivate(Response *q, Connection *connection);

    void writeHeaderBlock(QByteArray &head);
    void writeHeader(QByteArray &head, const QString &name, const QString &value);
    void onConnectionDestroyed();

    Connection *connection;
    HeaderHash headers;
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
};

} // namespace server
} // namespace http

#endif // ZNHTTP_RESPONSE_P_H
