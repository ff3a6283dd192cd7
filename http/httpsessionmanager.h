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

// A table of sessions keyed by the code that clients send back in the cookie
// "SessionID=". The manager only reads cookies; sending the code is the
// application's business. Expiry runs only when removeOldSessions is called.
// Every operation may be called from several threads at once, except that the
// table returned by getSessionList() is not guarded: whoever uses it must keep
// other threads out of the manager meanwhile.
class ZNHTTP_EXPORT HttpSessionManager : public QObject
{
public:
    HttpSessionManager();
    ~HttpSessionManager() override;

    // The request's session code if the table holds it, else a fresh code
    // (which is not entered in the table).
    virtual QString getSessionCode(QSharedPointer<Request> request) const;
    // 32 letters and digits from the system's cryptographic generator.
    virtual QString createSessionCode() const;
    // Drops the sessions not accessed for longer than the hold time.
    virtual void removeOldSessions();

    QSharedPointer<HttpSessionData> getOrCreateSessionData(const QString &code);
    bool isValidSession(const QString &code) const;
    void clear();
    QMap<QString, QSharedPointer<HttpSessionData>> &getSessionList();

    // Minutes; a negative value stands for the default of 20.
    int sessionHoldTime() const;
    void setSessionHoldTime(int minutes);

private:
    friend class HttpSessionManagerPrivate;
    HttpSessionManagerPrivate *d;
    Q_DISABLE_COPY(HttpSessionManager)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_HTTPSESSIONMANAGER_H
