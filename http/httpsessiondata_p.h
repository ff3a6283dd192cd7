#ifndef ZNHTTP_HTTPSESSIONDATA_P_H
#define ZNHTTP_HTTPSESSIONDATA_P_H

#include "httpsessiondata.h"

namespace http {
namespace server {

class HttpSessionDataPrivate
{
public:
    HttpSessionDataPrivate(const QString &code, ServerHandler *handler);
    HttpSessionDataPrivate(const HttpSessionDataPrivate &other) = default;
    HttpSessionDataPrivate &operator=(const HttpSessionDataPrivate &other) = default;
    virtual ~HttpSessionDataPrivate();

    void updateAccessTime();

    QString code;
    ServerHandler *handler;
    QDateTime lastAccessTime;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_HTTPSESSIONDATA_P_H
