#ifndef ZNHTTP_REQUEST_P_H
#define ZNHTTP_REQUEST_P_H

#include "request.h"

namespace http {
namespace server {

// Not a QObject: that would be one more object to make and destroy per request.
class RequestPrivate
{
public:
    RequestPrivate(Request *q, Connection *connection);

    void appendBody(const QByteArray &data);

    Connection *connection;
    HeaderHash headers;
    Request::HttpMethod method = Request::HTTP_GET;
    QUrl url;
    QString httpVersion;
    QString remoteAddress;
    quint16 remotePort = 0;
    QByteArray body;
    bool successful = false;
    bool storingBody = false;
    Request *q;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_REQUEST_P_H
