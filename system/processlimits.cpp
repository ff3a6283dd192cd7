#include "processlimits.h"

#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace veltor {
namespace system {

bool raiseDescriptorLimit()
{
#ifdef Q_OS_UNIX
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur == limit.rlim_max)
        return true;
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0)
        return true;
    // An unlimited hard limit is more than the kernel takes for descriptors.
    limit.rlim_cur = soft;
    for (rlim_t step = 1 << 20; step > soft; step /= 2) {
        limit.rlim_cur = step;
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0)
            return true;
    }
    return false;
#else
    return true;
#endif
}

} // namespace system
} // namespace veltor
