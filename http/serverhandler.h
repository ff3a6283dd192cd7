#ifndef ZNHTTP_SERVERHANDLER_H
#define ZNHTTP_SERVERHANDLER_H

#include "znhttp_global.h"

#include <QtCore/QSharedPointer>

namespace http {
namespace server {

class DispatchContext;
class Request;
class Response;

/**
 * A request handler for the Dispatcher.
 * \headerfile serverhandler.h <zn-http/serverhandler.h>
 *
 * Handlers belong to whoever made them: nothing in the library deletes one,
 * hence the protected destructor.
 */
class ZNHTTP_EXPORT ServerHandler
{
public:
    /**
     * Offers the handler a request whose path matched its expression;
     * \a context tells how the match split the path.
     *
     * Returns true when the handler took the request and finishes the
     * response (now or later); false when it declines and the dispatcher
     * tries the next match. A handler that declines must not have written.
     */
    virtual bool handle(QSharedPointer<Request> request, QSharedPointer<Response> response,
                        QSharedPointer<DispatchContext> context) = 0;

protected:
    ServerHandler() = default;
    /// Subclasses may be copied.
    ServerHandler(const ServerHandler &) = default;
    /// Subclasses may be assigned.
    ServerHandler &operator=(const ServerHandler &) = default;
    ~ServerHandler() = default;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_SERVERHANDLER_H
