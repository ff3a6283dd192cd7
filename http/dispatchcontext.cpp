#include "dispatchcontext.h"

namespace http {
namespace server {

DispatchContext::DispatchContext() = default;

DispatchContext::DispatchContext(const DispatchContext &other) = default;

DispatchContext &DispatchContext::operator=(const DispatchContext &other) = default;

DispatchContext::~DispatchContext() = default;

QString DispatchContext::remainingPath() const
{
    return m_remainingPath;
}

void DispatchContext::setRemainingPath(const QString &path)
{
    m_remainingPath = path;
}

QString DispatchContext::usedPath() const
{
    return m_usedPath;
}

void DispatchContext::setUsedPath(const QString &path)
{
    m_usedPath = path;
}

} // namespace server
} // namespace http
