#include "systemcontrollerstrategy.h"

#include "systemcontroller.h"

#include <QRegularExpression>

#include <zn-http/request.h>

namespace {
// Built once when the library loads, shared by every strategy.
const QRegularExpression systemInfoPath(QStringLiteral("^/system/info/?$"));
}

http::Controller *SystemControllerStrategy::createController(QSharedPointer<http::server::Request> request)
{
    if (!request || request->method() != http::server::Request::HTTP_GET)
        return nullptr;

    // The whole rendered URL must match, so a query string or an absolute URL
    // is refused.
    if (!systemInfoPath.match(request->url().toString()).hasMatch())
        return nullptr;

    const QString contentType = request->header(QStringLiteral("Content-Type"));
    if (!contentType.isEmpty() && contentType != QLatin1String("application/json"))
        return nullptr;

    return new SystemController;
}
