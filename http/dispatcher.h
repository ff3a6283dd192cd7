#ifndef ZNHTTP_DISPATCHER_H
#define ZNHTTP_DISPATCHER_H

#include "znhttp_global.h"
// Complete types, so that HttpServer::newRequest connects to dispatch as it stands.
#include "request.h"
#include "response.h"

#include <QtCore/QObject>
#include <QtCore/QRegExp>
#include <QtCore/QSharedPointer>

namespace http {
namespace server {

class DispatcherPrivate;
class ServerHandler;

/**
 * Routes each request to the first handler whose expression matches its path
 * and that takes it; answers 404 with a small HTML page when none does.
 * \headerfile dispatcher.h <zn-http/dispatcher.h>
 *
 * Connect HttpServer::newRequest() to dispatch().
 */
class ZNHTTP_EXPORT Dispatcher : public QObject
{
    Q_OBJECT
public:
    /// A dispatcher without handlers.
    explicit Dispatcher(QObject *parent = nullptr);
    ~Dispatcher() override;

    /**
     * Adds \a handler for the paths that \a pattern matches, after those
     * added before. The handler is not owned and must outlive the dispatcher.
     *
     * The pattern is searched in Request::path(), and the path is split at
     * the length of the match for the DispatchContext; so anchor it with
     * "^", as in "^/files/".
     */
    void appendHandler(QRegExp pattern, ServerHandler *handler);

    /// Offers the request to the handlers in turn; a slot for HttpServer::newRequest().
    virtual void dispatch(QSharedPointer<Request> request, QSharedPointer<Response> response);

private:
    friend class DispatcherPrivate;
    DispatcherPrivate *d;
    Q_DISABLE_COPY(Dispatcher)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_DISPATCHER_H
