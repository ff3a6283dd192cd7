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

/**
 * The answer to one request: headers with setHeader(), then writeHead(), any
 * number of write() calls, and one end().
 * \headerfile response.h <zn-http/response.h>
 *
 * The connection makes it and hands it out with HttpServer::newRequest(); it
 * lives as long as someone holds its pointer, so it may be answered later,
 * from any slot of the connection's thread. Once the client has gone, the
 * response counts as finished and further calls only log a warning.
 *
 * The connection stays open for the next request when the client allows it
 * and the response declares its length ("Content-Length", or
 * "Transfer-Encoding: chunked", whose framing you then write yourself);
 * otherwise the body ends where the connection closes. Header text is
 * Latin-1; other characters become '?'.
 */
class ZNHTTP_EXPORT Response : public QObject
{
    Q_OBJECT
public:
    /// Status codes with the reason phrase that writeHead() sends for them.
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
    /**
     * Sets the header \a field to \a value for writeHead(), replacing a
     * value set before under the same spelling. A name or value with a line
     * break is refused with a warning, as it could forge headers.
     *
     * The server adds "Date" and "Connection" unless you set them; a
     * "Connection: close" of yours closes the connection after the answer,
     * and a keep-alive cannot keep a connection the client asked to close.
     */
    void setHeader(const QString &field, const QString &value);
    /**
     * Writes the status line with \a statusCode and the headers; once per
     * response, before any write(). A code without a known reason phrase
     * goes out without one.
     */
    void writeHead(int statusCode);
    /// Writes the status line and the headers; see writeHead(int).
    void writeHead(StatusCode statusCode);
    /**
     * Writes a piece of the body, after writeHead(). Dropped in the answer
     * to HEAD, whose headers stay as for GET.
     *
     * The bytes leave when control returns to the event loop. To send a
     * large body in pieces, write the next piece on allBytesWritten().
     */
    void write(const QByteArray &data);
    /// Writes \a data as the last piece and finishes the response; emits
    /// done(). Nothing can be written after it.
    void end(const QByteArray &data = QByteArray());
    /// The status code given to writeHead(), or 0 before it.
    int status() const;

Q_SIGNALS:
    /// Emitted when everything the connection had queued, this response's
    /// bytes included, has been handed to the system.
    void allBytesWritten();
    /// Emitted by end(), before the last bytes leave.
    void done();

private:
    // Only a connection creates responses.
    explicit Response(Connection *connection);

    friend class ConnectionPrivate;
    friend class ResponsePrivate;
    ResponsePrivate *d;
    Q_DISABLE_COPY(Response)
};

/**
 * \relates Response
 * Writes a whole answer that is mostly its status, such as an error: the
 * body's Content-Length and \a contentType, the head with \a status, then
 * \a body (none in answer to HEAD) and end(). Headers set before, such as
 * Allow or Location, go with it.
 */
ZNHTTP_EXPORT void sendStatusAnswer(Response &response, int status, const QString &contentType,
                                    const QByteArray &body = QByteArray());

} // namespace server
} // namespace http

#endif // ZNHTTP_RESPONSE_H
