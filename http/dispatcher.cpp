#include "dispatcher.h"
#include "dispatcher_p.h"
#include "dispatchcontext.h"
#include "request.h"
#include "response.h"
#include "response_p.h"
#include "serverhandler.h"

namespace http {
namespace server {

DispatcherPrivate::DispatcherPrivate(Dispatcher *q)
    : q(q)
{
}

void DispatcherPrivate::dispatch(const QSharedPointer<Request> &request,
                                 const QSharedPointer<Response> &response)
{
    // A snapshot, so that a handler may append entries while we walk them.
    const QList<HandlerEntry> entries = handlers;
    const QString path = request->path();
    for (const HandlerEntry &stored : entries) {
        // The copy carries the match state; the stored expression stays untouched.
        HandlerEntry entry = stored;
        if (entry.pattern.indexIn(path, 0) < 0)
            continue;
        // Split at the matched length from the start of the path, wherever the match began.
        const int length = entry.pattern.matchedLength();
        QSharedPointer<DispatchContext> context(new DispatchContext);
        context->setUsedPath(path.left(length));
        context->setRemainingPath(path.mid(length));
        if (entry.handler->handle(request, response, context))
            return;
    }
    sendErrorPage(request, response, Response::NotFound);
}

void DispatcherPrivate::sendErrorPage(const QSharedPointer<Request> &request,
                                      const QSharedPointer<Response> &response, int status)
{
    static const QString page = QStringLiteral(
        "<html><head><title>%0 %1</title></head><body><h1>%1</h1>"
        "<p>%2 to %3 not supported.</p><hr><address>%4</address></body></html>\r\n");
    // One pass, so that a "%1" inside the URL stays literal; method and URL come
    // from the client and are escaped so that they cannot add markup.
    const QString text = page.arg(QString::number(status), QString(reasonPhrase(status)),
                                  request->methodString().toHtmlEscaped(),
                                  request->url().toString().toHtmlEscaped(),
                                  QStringLiteral("zn-http"));
    sendStatusAnswer(*response, status, QStringLiteral("text/html"), text.toUtf8());
}

Dispatcher::Dispatcher(QObject *parent)
    : QObject(parent)
    , d(new DispatcherPrivate(this))
{
}

Dispatcher::~Dispatcher()
{
    delete d;
}

void Dispatcher::appendHandler(QRegExp pattern, ServerHandler *handler)
{
    Q_ASSERT(handler);
    d->handlers.append(HandlerEntry{handler, pattern});
}

void Dispatcher::dispatch(QSharedPointer<Request> request, QSharedPointer<Response> response)
{
    d->dispatch(request, response);
}

} // namespace server
} // namespace http
