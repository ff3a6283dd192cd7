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

// Routes each request to the first handler whose expression matches its path
// and that takes it; answers 404 with a small HTML page when none does.
class ZNHTTP_EXPORT Dispatcher : public QObject
{
    Q_OBJECT
public:
    explicit Dispatcher(QObject *parent = nullptr);
    ~Dispatcher() override;

    // The handler is not owned and must outlive the dispatcher.
    void appendHandler(QRegExp pattern, ServerHandler *handler);

    // Takes the pair that HttpServer::newRequest carries.
    virtual void dispatch(QSharedPointer<Request> request, QSharedPointer<Response> response);

private:
    friend class DispatcherPrivate;
    DispatcherPrivate *d;
    Q_DISABLE_COPY(Dispatcher)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_DISPATCHER_H
