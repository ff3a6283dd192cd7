#ifndef ZNHTTP_HTTPSESSIONMANAGER_P_H
#define ZNHTTP_HTTPSESSIONMANAGER_P_H

#include "httpsessionmanager.h"

#include <QtCore/QMutex>

namespace http {
namespace server {

class HttpSessionManagerPrivate
{
public:
    explicit HttpSessionManagerPrivate(HttpSessionManager *q);
    virtual ~HttpSessionManagerPrivate();

    virtual QSharedPointer<HttpSessionData> createSessionData(const QString &code);
    virtual QString getSessionCode(QSharedPointer<Request> request);
    virtual QString createSessionCode();
    virtual void removeOldSessions();

    QSharedPointer<HttpSessionData> getOrCreateSessionData(const QString &code);

    QMap<QString, QSharedPointer<HttpSessionData>> sessions;
    int sessionHoldTime = 20;
    QMutex mutex;
    HttpSessionManager *q;

private:
    Q_DISABLE_COPY(HttpSessionManagerPrivate)
};

} // namespace server
} // namespace http

#endif // ZNHTTP_HTTPSESSIONMANAGER_P_H
