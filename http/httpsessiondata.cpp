#include "httpsessiondata.h"
#include "httpsessiondata_p.h"

#include <QtCore/QMutexLocker>

namespace http {
namespace server {

HttpSessionDataPrivate::HttpSessionDataPrivate(const QString &code, ServerHandler *handler)
    : code(code)
    , handler(handler)
    , lastAccessTime(QDateTime::currentDateTime())
{
}

HttpSessionDataPrivate::HttpSessionDataPrivate(const HttpSessionDataPrivate &other)
{
    QMutexLocker locker(&other.mutex);
    code = other.code;
    handler = other.handler;
    lastAccessTime = other.lastAccessTime;
}

HttpSessionDataPrivate &HttpSessionDataPrivate::operator=(const HttpSessionDataPrivate &other)
{
    if (this == &other)
        return *this;
    // Copied first, so that the two locks are never held together.
    QMutexLocker otherLocker(&other.mutex);
    const QString otherCode = other.code;
    ServerHandler *const otherHandler = other.handler;
    const QDateTime otherTime = other.lastAccessTime;
    otherLocker.unlock();
    QMutexLocker locker(&mutex);
    code = otherCode;
    handler = otherHandler;
    lastAccessTime = otherTime;
    return *this;
}

HttpSessionDataPrivate::~HttpSessionDataPrivate() = default;

void HttpSessionDataPrivate::updateAccessTime()
{
    const QDateTime now = QDateTime::currentDateTime();
    QMutexLocker locker(&mutex);
    lastAccessTime = now;
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
    QMutexLocker locker(&d->mutex);
    return d->handler;
}

void HttpSessionData::setHandler(ServerHandler *handler)
{
    QMutexLocker locker(&d->mutex);
    d->handler = handler;
}

QDateTime HttpSessionData::lastAcceessTime() const
{
    QMutexLocker locker(&d->mutex);
    return d->lastAccessTime;
}

void HttpSessionData::updateAccessTime()
{
    d->updateAccessTime();
}

} // namespace server
} // namespace http
