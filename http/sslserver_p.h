#ifndef ZNHTTP_SSLSERVER_P_H
#define ZNHTTP_SSLSERVER_P_H

#include "sslserver.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QObject>
#include <QtCore/QSharedPointer>

class QSslContext;

class SslServerPrivate : public QObject
{
public:
    explicit SslServerPrivate(SslServer *q);

    virtual void incomingConnection(qintptr socketDescriptor);

    void setConfiguration(const QSslConfiguration &newConfiguration);
    void startServerEncryption(QSslSocket *socket);

    SslServer *q;
    QList<QSslError> expectedErrors;
    QSslConfiguration configuration;
    QSslConfiguration socketConfiguration; // what the sockets get

    // One TLS context for all accepted sockets, where Qt lets it be shared
    // (see sslserver.cpp): made once, and holding the session tickets' keys.
    QSharedPointer<QSslContext> sharedContext;
    QElapsedTimer sharedContextAge;
    bool shareContext = false;
};

#endif // ZNHTTP_SSLSERVER_P_H
