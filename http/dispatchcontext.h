#ifndef ZNHTTP_DISPATCHCONTEXT_H
#define ZNHTTP_DISPATCHCONTEXT_H

#include "znhttp_global.h"

#include <QtCore/QString>

namespace http {
namespace server {

/**
 * How one dispatcher match split the request path: the matched part and what
 * follows it.
 * \headerfile dispatchcontext.h <zn-http/dispatchcontext.h>
 *
 * For the path "/api/items/7" and the expression "^/api/", usedPath() is
 * "/api/" and remainingPath() "items/7".
 */
class ZNHTTP_EXPORT DispatchContext
{
public:
    /// Both parts empty.
    DispatchContext();
    /// A copy of \a other.
    DispatchContext(const DispatchContext &other);
    /// Takes the parts of \a other.
    DispatchContext &operator=(const DispatchContext &other);
    virtual ~DispatchContext();

    /// The path after the matched part.
    QString remainingPath() const;
    /// Sets the path after the matched part.
    void setRemainingPath(const QString &path);

    /// The matched part of the path.
    QString usedPath() const;
    /// Sets the matched part of the path.
    void setUsedPath(const QString &path);

private:
    QString m_remainingPath;
    QString m_usedPath;
};

} // namespace server
} // namespace http

#endif // ZNHTTP_DISPATCHCONTEXT_H
