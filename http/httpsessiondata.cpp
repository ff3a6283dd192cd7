#include "httpsessiondata.h"
#include "httpsessiondata_p.h"

namespace http {
namespace server {

HttpSessionDataPrivate::HttpSessionDataPrivate(const QString &code, ServerHandler *handler)
    : code(code)
    , handler(handler)
    , lastAccessTime(QDateTime::currentDateTime())
{
}

HttpSessionDataPrivate::~HttpSessionDataPrivate() = default;

void HttpSessionDataPrivate::updateAccessTime()
{
    lastAccessTime = QDateTime::currentDateTime();
}

HttpSessionData::HttpSessionData(QString code, ServerHandler *handler)
    : d(new HttpSessionDataPrivate(code, handler))
{
}

HttpSessionData::~HttpSessionData()
{
    delete d;
}

ServerHandler *HttpSessionData::handler() const
{
    return d->handler;
}

void HttpSessionData::setHandler(ServerHandler *handler)
{
    d->handler = handler;
}

QDateTime HttpSessionData::lastAcceessTime() const
{
    return d->lastAccessTime;
}

void HttpSessionData::updateAccessTime()
{
    d->updateAccessTime();
}

} // namespace server
} // namespace http
