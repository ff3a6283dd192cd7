#ifndef ZNHTTP_REQUEST_P_H
#define ZNHTTP_REQUEST_P_H

#include "request.h"

#include <QtCore/QObject>

namespace http {
namespace server {

// A QObject only so that storeBody() can connect its slot uniquely.
class RequestPrivate : public QObject
{
    Q_OBJECT
public:
    RequestPrivate(Request *q, Connection *connection);

public Q_SLOTS:
    void appendBody(const QByteArray &data);

public:

    Connection *connection;
    HeaderHash headers;
    Request::HttpMethod method = Request::HTTP_GET;
    QUrl url;
    QString httpVersion;
    QString remoteAddress;
    quint16 remotePort = 0;
    QByteArray body;
    bool successful = false;
    Request *q;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_REQUEST_P_H
