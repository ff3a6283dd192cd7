#pragma once

#include <QByteArray>

// Fills a model from an HTTP body.
class BodyParser
{
public:
    virtual ~BodyParser() = default;
    virtual void parse(const QByteArray &body) = 0;
};
