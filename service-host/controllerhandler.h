#pragma once

#include <zn-http/serverhandler.h>

#include <QObject>
#include <QSet>
#include <QSharedPointer>

#include <vector>

namespace http {
class Controller;
class ControllerStrategy;
}

// The plug-ins' side of the host's dispatcher: hands each request to the
// first controller strategy that takes it and declines when none does, so
// that the dispatcher answers 404. A controller is released once its response
// is done; those still working when the handler goes are released then.
class ControllerHandler : public QObject, public http::server::ServerHandler
{
    Q_OBJECT
public:
    explicit ControllerHandler(std::vector<http::ControllerStrategy *> strategies, QObject *parent = nullptr);
    ~ControllerHandler() override;

    bool handle(QSharedPointer<http::server::Request> request, QSharedPointer<http::server::Response> response,
                QSharedPointer<http::server::DispatchContext> context) override;

    // On a loopback address only requests that name a loopback host are
    // served: a web page that rebinds its own name to 127.0.0.1 must not
    // read the answers.
    void setLoopbackOnly(bool loopbackOnly);

private:
    void release(http::Controller *controller);

    std::vector<http::ControllerStrategy *> strategies;
    QSet<http::Controller *> active;
    bool loopbackOnly = false;
};
