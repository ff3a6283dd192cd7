#pragma once

#include <QByteArray>
#include <QString>

// Turns a model into an HTTP body.
class BodyFormatter
{
public:
    virtual ~BodyFormatter() = default;
    virtual QString contentType() const = 0;
    virtual void format(QByteArray &body) = 0;
};
