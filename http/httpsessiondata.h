#ifndef ZNHTTP_HTTPSESSIONDATA_H
#define ZNHTTP_HTTPSESSIONDATA_H

#include "znhttp_global.h"

#include <QtCore/QDateTime>
#include <QtCore/QString>

namespace http {
namespace server {

class HttpSessionDataPrivate;
class ServerHandler;

// One session of the session manager's table; shared, never copied.
class ZNHTTP_EXPORT HttpSessionData
{
public:
    HttpSessionData(QString code, ServerHandler *handler);
    virtual ~HttpSessionData();

    // Not owned.
    ServerHandler *handler() const;
    void setHandler(ServerHandler *handler);

    // The spelling is part of the published interface.
    QDateTime lastAcceessTime() const;
    void updateAccessTime();

protected:
    HttpSessionDataPrivate *d;

private:
    Q_DISABLE_COPY(HttpSessionData)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_HTTPSESSIONDATA_H
