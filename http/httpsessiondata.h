#ifndef ZNHTTP_HTTPSESSIONDATA_H
#define ZNHTTP_HTTPSESSIONDATA_H

#include "znhttp_global.h"

#include <QtCore/QDateTime>
#include <QtCore/QString>

namespace http {
namespace server {

class HttpSessionDataPrivate;
class ServerHandler;

/**
 * One session of the HttpSessionManager's table; shared, never copied.
 * \headerfile httpsessiondata.h <zn-http/httpsessiondata.h>
 *
 * Every method may be called from several threads at once.
 */
class ZNHTTP_EXPORT HttpSessionData
{
public:
    /// A session under \a code, tied to \a handler (may be null), accessed now.
    HttpSessionData(QString code, ServerHandler *handler);
    virtual ~HttpSessionData();

    /// The handler tied to the session, or null; not owned.
    ServerHandler *handler() const;
    /// Ties the session to \a handler, which it does not own.
    void setHandler(ServerHandler *handler);

    /// When the session was made or last marked with updateAccessTime(), in
    /// local time. The spelling is part of the published interface.
    QDateTime lastAcceessTime() const;
    /// Marks the session as used now; removeOldSessions() goes by this time,
    /// and nothing else updates it.
    void updateAccessTime();

protected:
    /// The private part; not part of the interface.
    HttpSessionDataPrivate *d;

private:
    Q_DISABLE_COPY(HttpSessionData)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_HTTPSESSIONDATA_H
