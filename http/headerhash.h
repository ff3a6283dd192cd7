#ifndef ZNHTTP_HEADERHASH_H
#define ZNHTTP_HEADERHASH_H

#include <QtCore/QHash>
#include <QtCore/QString>

namespace http {
namespace server {

/// Header name to value. Request::headers() gives the names in lower case.
typedef QHash<QString, QString> HeaderHash;

} // namespace server
} // namespace http

#endif // ZNHTTP_HEADERHASH_H
