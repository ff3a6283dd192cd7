#ifndef ZNHTTP_DISPATCHER_P_H
#define ZNHTTP_DISPATCHER_P_H

#include "dispatcher.h"

#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QRegExp>

namespace http {
namespace server {

struct HandlerEntry
{
    ServerHandler *handler;
    QRegExp pattern;
};

class DispatcherPrivate : public QObject
{
public:
    explicit DispatcherPrivate(Dispatcher *q);

    void dispatch(const QSharedPointer<Request> &request, const QSharedPointer<Response> &response);
    void sendErrorPage(const QSharedPointer<Request> &request,
                       const QSharedPointer<Response> &response, int status);

    QList<HandlerEntry> handlers;
    Dispatcher *q;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_DISPATCHER_P_H
