#ifndef ZNHTTP_SSLSERVER_P_H
#define ZNHTTP_SSLSERVER_P_H

#include "sslserver.h"

#include <QtCore/QObject>

class SslServerPrivate : public QObject
{
public:
    explicit SslServerPrivate(SslServer *q);

    virtual void incomingConnection(qintptr socketDescriptor);

    SslServer *q;
    QList<QSslError> expectedErrors;
    QSslConfiguration configuration;
};

#endif // ZNHTTP_SSLSERVER_P_H
