#ifndef ZNHTTP_DISPATCHCONTEXT_H
#define ZNHTTP_DISPATCHCONTEXT_H

#include "znhttp_global.h"

#include <QtCore/QString>

namespace http {
namespace server {

// How one dispatcher match split the request path: the matched prefix and
// what follows it.
class ZNHTTP_EXPORT DispatchContext
{
public:
    DispatchContext();
    DispatchContext(const DispatchContext &other);
    DispatchContext &operator=(const DispatchContext &other);
    virtual ~DispatchContext();

    QString remainingPath() const;
    void setRemainingPath(const QString &path);

    QString usedPath() const;
    void setUsedPath(const QString &path);

private:
    QString m_remainingPath;
    QString m_usedPath;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_DISPATCHCONTEXT_H
