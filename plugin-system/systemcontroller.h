#pragma once

#include "controller.h"
#include "jsonprocessor.h"

// Answers GET /system/info with the operating system, its version, the
// processor architecture and the two privilege flags of systemprivileges.h,
// as one JSON object with status 200.
class SystemController final : public http::Controller
{
public:
    SystemController() = default;

    // Deletes the controller; the host calls this instead of delete.
    void release() override;
    // The request carries nothing the answer depends on.
    void setRequest(QSharedPointer<http::server::Request> request) override;
    void setResponse(QSharedPointer<http::server::Response> response) override;
    void process() override;

private:
    ~SystemController() = default;

    JsonProcessor processor;
    QSharedPointer<http::server::Response> response;
};
