#pragma once

#include <QSharedPointer>

namespace http {
namespace server {
class Request;
}

class Controller;

// Decides whether a request is meant for one endpoint of a plug-in.
class ControllerStrategy
{
public:
    virtual ~ControllerStrategy() = default;

    // A new controller, owned by the caller until it calls release() on it,
    // or null when the strategy does not take the request.
    virtual Controller *createController(QSharedPointer<server::Request> request) = 0;
};

} // namespace http
