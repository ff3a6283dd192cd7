#pragma once

#include <QSharedPointer>

namespace http {
namespace server {
class Request;
class Response;
}

// Answers one request. The host calls these operations by position, in this
// order, and ends with release() instead of deleting the controller, so that
// the plug-in's own allocator frees it.
class Controller
{
public:
    virtual void release() = 0;
    virtual void setRequest(QSharedPointer<server::Request> request) = 0;
    virtual void setResponse(QSharedPointer<server::Response> response) = 0;
    // Writes the whole response; setResponse() comes first.
    virtual void process() = 0;

protected:
    ~Controller() = default;
};

} // namespace http
