#ifndef ZNHTTP_HTTPSESSIONMANAGER_H
#define ZNHTTP_HTTPSESSIONMANAGER_H

#include "znhttp_global.h"

#include <QtCore/QMap>
#include <QtCore/QObject>
#include <QtCore/QSharedPointer>
#include <QtCore/QString>

namespace http {
namespace server {

class HttpSessionData;
class HttpSessionManagerPrivate;
class Request;

/**
 * A table of sessions keyed by the code that clients send back in the cookie
 * "SessionID=".
 * \headerfile httpsessionmanager.h <zn-http/httpsessionmanager.h>
 *
 * The manager only reads cookies; sending the code (a "Set-Cookie" header)
 * is the application's business. Expiry runs only when removeOldSessions()
 * is called. Every operation may be called from several threads at once,
 * except that the table returned by getSessionList() is not guarded: whoever
 * uses it must keep other threads out of the manager meanwhile.
 */
class ZNHTTP_EXPORT HttpSessionManager : public QObject
{
public:
    /// An empty table with a hold time of 20 minutes.
    HttpSessionManager();
    ~HttpSessionManager() override;

    /// The request's session code if the table holds it, else a fresh code
    /// (which is not entered in the table).
    virtual QString getSessionCode(QSharedPointer<Request> request) const;
    /// A new code: 32 letters and digits from the system's cryptographic generator.
    virtual QString createSessionCode() const;
    /// Drops the sessions not accessed (HttpSessionData::updateAccessTime())
    /// for longer than the hold time.
    virtual void removeOldSessions();

    /// The session under \a code, entered in the table first if it is new.
    QSharedPointer<HttpSessionData> getOrCreateSessionData(const QString &code);
    /// Whether the table holds a session under \a code.
    bool isValidSession(const QString &code) const;
    /// Drops every session.
    void clear();
    /// The table itself, unguarded; see the class description.
    QMap<QString, QSharedPointer<HttpSessionData>> &getSessionList();

    /// How long an unused session is kept, in minutes. Default 20.
    int sessionHoldTime() const;
    /// Sets the hold time in minutes; a negative value stands for the default of 20.
    void setSessionHoldTime(int minutes);

private:
    friend class HttpSessionManagerPrivate;
    HttpSessionManagerPrivate *d;
    Q_DISABLE_COPY(HttpSessionManager)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_HTTPSESSIONMANAGER_H
