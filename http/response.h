#ifndef ZNHTTP_RESPONSE_H
#define ZNHTTP_RESPONSE_H

#include "znhttp_global.h"
#include "headerhash.h"

#include <QtCore/QByteArray>
#include <QtCore/QObject>

namespace http {
namespace server {

class Connection;
class ConnectionPrivate;
class ResponsePrivate;

class ZNHTTP_EXPORT Response : public QObject
{
    Q_OBJECT
public:
    enum StatusCode {
        Continue = 100,
        SwitchingProtocols = 101,
        Processing = 102,
        OK = 200,
        Created = 201,
        Accepted = 202,
        NonAuthoritativeInformation = 203,
        NoContent = 204,
        ResetContent = 205,
        PartialContent = 206,
        MultiStatus = 207,
        MultipleChoices = 300,
        MovedPermanently = 301,
        MovedTemporarily = 302,
        SeeOther = 303,
        NotModified = 304,
        UseProxy = 305,
        TemporaryRedirect = 307,
        BadRequest = 400,
        Unauthorized = 401,
        PaymentRequired = 402,
        Forbidden = 403,
        NotFound = 404,
        MethodNotAllowed = 405,
        NotAcceptable = 406,
        ProxyAuthenticationRequired = 407,
        RequestTimeout = 408,
        Conflict = 409,
        Gone = 410,
        LengthRequired = 411,
        PreconditionFailed = 412,
        RequestEntityTooLarge = 413,
        RequestUriTooLarge = 414,
        UnsupportedMediaType = 415,
        RequestedRangeNotSatisfiable = 416,
        ExpectationFailed = 417,
        ImATeapot = 418,
        UnprocessableEntity = 422,
        Locked = 423,
        FailedDependency = 424,
        UnorderedCollection = 425,
        UpgradeRequired = 426,
        InternalServerError = 500,
        NotImplemented = 501,
        BadGateway = 502,
        ServiceUnavailable = 503,
        GatewayTimeout = 504,
        HttpVersionNotSupported = 505,
        VariantAlsoNegotiates = 506,
        InsufficientStorage = 507,
        BandwidthLimitExceeded = 509,
        NotExtended = 510
    };

    ~Response() override;

public Q_SLOTS:
    void setHeader(const QString &field, const QString &value);
    void writeHead(int statusCode);
    void writeHead(StatusCode statusCode);
    void write(const QByteArray &data);
    void end(const QByteArray &data = QByteArray());
    int status() const;

Q_SIGNALS:
    void allBytesWritten();
    void done();

private:
    // Only a connection creates responses.
    explicit Response(Connection *connection);

    friend class ConnectionPrivate;
    friend class ResponsePrivate;
    ResponsePrivate *d;
    Q_DISABLE_COPY(Response)
};

// A whole answer that is mostly its status, such as an error: Content-Length
// and Content-Type of the body, the head, then the body (none in answer to
// HEAD). Headers set before, such as Allow or Location, go with it.
ZNHTTP_EXPORT void sendStatusAnswer(Response &response, int status, const QString &contentType,
                                    const QByteArray &body = QByteArray());

} // namespace server
} // namespace http

#endif // ZNHTTP_RESPONSE_H
