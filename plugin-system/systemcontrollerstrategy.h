#pragma once

#include "controllerstrategy.h"

// Takes GET /system/info (with or without a trailing slash), without a query
// string, and with no Content-Type or exactly "application/json".
class SystemControllerStrategy : public http::ControllerStrategy
{
public:
    http::Controller *createController(QSharedPointer<http::server::Request> request) override;
};
