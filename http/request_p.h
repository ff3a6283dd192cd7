#ifndef ZNHTTP_REQUEST_P_H
#define ZNHTTP_REQUEST_P_H

#include "request.h"

#include <QtCore/QObject>
#include <QtCore/QVarLengthArray>

#include <atomic>
#include <mutex>

namespace http {
namespace server {

// Where one header line lies in RequestPrivate::rawHead.
struct HeaderField
{
    int nameAt;
    int nameLength;
    int valueAt;
    int valueLength;
};

// A QObject only so that storeBody() can connect its slot uniquely.
class RequestPrivate : public QObject
{
    Q_OBJECT
public:
    RequestPrivate(Request *q, Connection *connection);

    // The connection fills in the head as it arrives; the hash and the URL are
    // made from it only when someone asks, as most handlers read one or two
    // headers and many never the URL.
    void buildHeaders() const;
    void buildUrl() const;
    const QUrl &builtUrl() const;
    const QString &builtPath() const;
    QByteArray rawHeader(const char *lowerName, int length) const;

public Q_SLOTS:
    void appendBody(const QByteArray &data);

public:
    Connection *connection;
    mutable HeaderHash headers;
    Request::HttpMethod method = Request::HTTP_GET;
    mutable QUrl url;
    mutable QString path;
    QString httpVersion;
    QString remoteAddress;
    quint16 remotePort = 0;
    QByteArray body;
    bool successful = false;
    Request *q;

    QByteArray rawHead;  // the request target, then header names and values back to back, Latin-1
    int targetLength = 0;
    QVarLengthArray<HeaderField, 8> fields;
    // Concurrent readers on several threads must not build twice.
    mutable std::once_flag headersBuilt;
    mutable std::once_flag urlBuilt;
    mutable std::atomic<bool> pathBuilt{false};
    mutable std::mutex pathLock;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_REQUEST_P_H
