#include "httpsessionmanager.h"
#include "httpsessionmanager_p.h"
#include "httpsessiondata.h"
#include "request.h"

#include <QtCore/QDateTime>
#include <QtCore/QMutexLocker>
#include <QtCore/QRandomGenerator>
#include <QtCore/QRegExp>
#include <QtCore/QVector>

namespace http {
namespace server {

namespace {

const char codeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int codeAlphabetSize = sizeof(codeAlphabet) - 1;
constexpr int codeLength = 32;

} // namespace

HttpSessionManagerPrivate::HttpSessionManagerPrivate(HttpSessionManager *q)
    : q(q)
{
}

HttpSessionManagerPrivate::~HttpSessionManagerPrivate() = default;

QSharedPointer<HttpSessionData> HttpSessionManagerPrivate::createSessionData(const QString &code)
{
    return QSharedPointer<HttpSessionData>(new HttpSessionData(code, nullptr));
}

QString HttpSessionManagerPrivate::getSessionCode(QSharedPointer<Request> request)
{
    QString code;
    QRegExp cookie(QStringLiteral("SessionID=([0-9a-zA-Z]+)"), Qt::CaseSensitive, QRegExp::RegExp);
    if (request && cookie.indexIn(request->header(QStringLiteral("cookie")), 0) >= 0)
        code = cookie.cap(1);
    if (!code.isEmpty()) {
        QMutexLocker locker(&mutex);
        if (!sessions.contains(code))
            code.clear();
    }
    if (code.isEmpty())
        code = createSessionCode();
    return code;
}

QString HttpSessionManagerPrivate::createSessionCode()
{
    // Codes identify clients, so they must not be guessable: draw them from the
    // system's cryptographic source, uniformly over the alphabet.
    QRandomGenerator *random = QRandomGenerator::system();
    QString code;
    code.reserve(codeLength);
    for (int i = 0; i < codeLength; ++i)
        code.append(QLatin1Char(codeAlphabet[random->bounded(codeAlphabetSize)]));
    return code;
}

void HttpSessionManagerPrivate::removeOldSessions()
{
    // Expired sessions die after the lock is released: a session's destructor
    // may call back into the manager.
    QVector<QSharedPointer<HttpSessionData>> expired;
    QMutexLocker locker(&mutex);
    const qint64 now = QDateTime::currentDateTime().toMSecsSinceEpoch();
    const qint64 limit = qint64(sessionHoldTime) * 60000;
    for (auto it = sessions.begin(); it != sessions.end();) {
        const QSharedPointer<HttpSessionData> &session = it.value();
        if (session && now - session->lastAcceessTime().toMSecsSinceEpoch() > limit) {
            expired.append(session);
            it = sessions.erase(it);
        } else {
            ++it;
        }
    }
    locker.unlock();
}

QSharedPointer<HttpSessionData> HttpSessionManagerPrivate::getOrCreateSessionData(const QString &code)
{
    QMutexLocker locker(&mutex);
    auto it = sessions.constFind(code);
    if (it != sessions.constEnd())
        return it.value();
    const QSharedPointer<HttpSessionData> session = createSessionData(code);
    sessions.insert(code, session);
    return session;
}

HttpSessionManager::HttpSessionManager()
    : QObject(nullptr)
    , d(new HttpSessionManagerPrivate(this))
{
}

HttpSessionManager::~HttpSessionManager()
{
    delete d;
}

QString HttpSessionManager::getSessionCode(QSharedPointer<Request> request) const
{
    return d->getSessionCode(request);
}

QString HttpSessionManager::createSessionCode() const
{
    return d->createSessionCode();
}

void HttpSessionManager::removeOldSessions()
{
    d->removeOldSessions();
}

QSharedPointer<HttpSessionData> HttpSessionManager::getOrCreateSessionData(const QString &code)
{
    return d->getOrCreateSessionData(code);
}

bool HttpSessionManager::isValidSession(const QString &code) const
{
    QMutexLocker locker(&d->mutex);
    return d->sessions.contains(code);
}

void HttpSessionManager::clear()
{
    // The sessions die after the lock is released, as in removeOldSessions().
    QMap<QString, QSharedPointer<HttpSessionData>> old;
    QMutexLocker locker(&d->mutex);
    old.swap(d->sessions);
    locker.unlock();
}

QMap<QString, QSharedPointer<HttpSessionData>> &HttpSessionManager::getSessionList()
{
    return d->sessions;
}

int HttpSessionManager::sessionHoldTime() const
{
    QMutexLocker locker(&d->mutex);
    return d->sessionHoldTime;
}

void HttpSessionManager::setSessionHoldTime(int minutes)
{
    QMutexLocker locker(&d->mutex);
    d->sessionHoldTime = minutes < 0 ? 20 : minutes;
}

} // namespace server
} // namespace http
