#ifndef ZNHTTP_HTTPSESSIONDATA_P_H
#define ZNHTTP_HTTPSESSIONDATA_P_H

#include "httpsessiondata.h"

#include <QtCore/QMutex>

namespace http {
namespace server {

class HttpSessionDataPrivate
{
public:
    HttpSessionDataPrivate(const QString &code, ServerHandler *handler);
    HttpSessionDataPrivate(const HttpSessionDataPrivate &other);
    HttpSessionDataPrivate &operator=(const HttpSessionDataPrivate &other);
    virtual ~HttpSessionDataPrivate();

    void updateAccessTime();

    QString code;
    ServerHandler *handler;
    QDateTime lastAccessTime;
    // Several threads may touch one session, as the manager hands it out to all.
    mutable QMutex mutex;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_HTTPSESSIONDATA_P_H
