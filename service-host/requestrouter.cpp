#include "requestrouter.h"

#include "controller.h"
#include "controllerstrategy.h"

#include <QLoggingCategory>

#include <zn-http/request.h>
#include <zn-http/response.h>

Q_LOGGING_CATEGORY(lcRouter, "ch.veltor.kavo-service.host.router")

RequestRouter::RequestRouter(std::vector<http::ControllerStrategy *> strategies, QObject *parent)
    : QObject(parent)
    , strategies(std::move(strategies))
{
}

RequestRouter::~RequestRouter()
{
    const QSet<http::Controller *> remaining = active;
    active.clear();
    for (http::Controller *controller : remaining)
        controller->release();
}

void RequestRouter::route(QSharedPointer<http::server::Request> request,
                          QSharedPointer<http::server::Response> response)
{
    if (!request || !response)
        return;

    http::Controller *controller = nullptr;
    for (http::ControllerStrategy *strategy : strategies) {
        controller = strategy->createController(request);
        if (controller)
            break;
    }

    if (!controller) {
        QString method = request->methodString();
        if (method.startsWith(QLatin1String("HTTP_")))
            method.remove(0, 5);
        qCDebug(lcRouter).noquote() << QStringLiteral("No plug-in takes %1 %2; answered 404.")
                                           .arg(method, request->url().toString());
        static const QByteArray body("Not Found: no plug-in serves this request.\n");
        response->setHeader(QStringLiteral("Content-Type"), QStringLiteral("text/plain; charset=utf-8"));
        response->setHeader(QStringLiteral("Content-Length"), QString::number(body.size()));
        response->writeHead(http::server::Response::NotFound);
        response->end(body);
        return;
    }

    active.insert(controller);
    // Queued: done() is usually emitted from inside process(), and the
    // controller must not be destroyed while it is still running.
    connect(response.data(), &http::server::Response::done, this,
            [this, controller] { release(controller); }, Qt::QueuedConnection);
    controller->setRequest(request);
    controller->setResponse(response);
    controller->process();
}

int RequestRouter::activeControllers() const
{
    return active.size();
}

void RequestRouter::release(http::Controller *controller)
{
    if (active.remove(controller))
        controller->release();
}
