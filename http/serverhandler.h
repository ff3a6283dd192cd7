#ifndef ZNHTTP_SERVERHANDLER_H
#define ZNHTTP_SERVERHANDLER_H

#include "znhttp_global.h"

#include <QtCore/QSharedPointer>

namespace http {
namespace server {

class DispatchContext;
class Request;
class Response;

// A request handler for the dispatcher. Handlers belong to whoever made them:
// nothing in the library deletes one, hence the protected destructor.
class ZNHTTP_EXPORT ServerHandler
{
public:
    // true: the handler took the request and finishes the response (now or
    // later); false: it declines and the dispatcher tries the next match.
    virtual bool handle(QSharedPointer<Request> request, QSharedPointer<Response> response,
                        QSharedPointer<DispatchContext> context) = 0;

protected:
    ServerHandler() = default;
    ServerHandler(const ServerHandler &) = default;
    ServerHandler &operator=(const ServerHandler &) = default;
    ~ServerHandler() = default;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_SERVERHANDLER_H
