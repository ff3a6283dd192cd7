#include "controllerhandler.h"

#include "controller.h"
#include "controllerstrategy.h"

#include <QHostAddress>
#include <QLoggingCategory>

#include <zn-http/request.h>
#include <zn-http/response.h>

Q_LOGGING_CATEGORY(lcRouter, "ch.veltor.kavo-service.host.router")

namespace {

// A Host header (name or address, with an optional port) that can only mean
// this machine. A request without one comes from no browser.
bool namesLoopback(QString host)
{
    if (host.isEmpty())
        return true;
    if (host.startsWith(QLatin1Char('['))) {
        const int end = host.indexOf(QLatin1Char(']'));
        return end > 0 && QHostAddress(host.mid(1, end - 1)).isLoopback();
    }
    host = host.left(host.indexOf(QLatin1Char(':'))).toLower();
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    return host == QLatin1String("localhost") || host.endsWith(QLatin1String(".localhost"))
        || QHostAddress(host).isLoopback();
}

} // namespace

ControllerHandler::ControllerHandler(std::vector<http::ControllerStrategy *> strategies, QObject *parent)
    : QObject(parent)
    , strategies(std::move(strategies))
{
}

ControllerHandler::~ControllerHandler()
{
    const QSet<http::Controller *> remaining = active;
    active.clear();
    for (http::Controller *controller : remaining)
        controller->release();
}

bool ControllerHandler::handle(QSharedPointer<http::server::Request> request,
                               QSharedPointer<http::server::Response> response,
                               QSharedPointer<http::server::DispatchContext>)
{

    if (loopbackOnly && !namesLoopback(request->header(QStringLiteral("host")))) {
        qCWarning(lcRouter).noquote() << QStringLiteral("Refused a request for host %1; answered 403.")
                                             .arg(request->header(QStringLiteral("host")).left(100));
        http::server::sendStatusAnswer(*response, http::server::Response::Forbidden,
                                       QStringLiteral("text/plain; charset=utf-8"),
                                       "Forbidden: this service answers requests for localhost only.\n");
        return true;
    }

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
        return false;
    }

    active.insert(controller);
    // Queued: done() is usually emitted from inside process(), and the
    // controller must not be destroyed while it is still running.
    connect(response.data(), &http::server::Response::done, this,
            [this, controller] { release(controller); }, Qt::QueuedConnection);
    controller->setRequest(request);
    controller->setResponse(response);
    controller->process();
    return true;
}

void ControllerHandler::setLoopbackOnly(bool only)
{
    loopbackOnly = only;
}

void ControllerHandler::release(http::Controller *controller)
{
    if (active.remove(controller))
        controller->release();
}
