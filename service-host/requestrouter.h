#pragma once

#include <QObject>
#include <QSet>
#include <QSharedPointer>

#include <vector>

namespace http {
class Controller;
class ControllerStrategy;
namespace server {
class Request;
class Response;
}
}

// Hands each request to the first controller strategy that takes it, and
// answers 404 when none does. A controller is released once its response is
// done; those still working when the router goes are released then.
class RequestRouter : public QObject
{
    Q_OBJECT
public:
    explicit RequestRouter(std::vector<http::ControllerStrategy *> strategies, QObject *parent = nullptr);
    ~RequestRouter() override;

    void route(QSharedPointer<http::server::Request> request,
               QSharedPointer<http::server::Response> response);

    int activeControllers() const;

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
