#include "platform/Descriptors.h"

#include <limits>

#include <sys/resource.h>

namespace Descriptors {

void raiseLimit() {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0 || limits.rlim_cur == limits.rlim_max) {
        return;
    }
    limits.rlim_cur = limits.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limits);
}

qint64 limit() {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0 || limits.rlim_cur == RLIM_INFINITY ||
        limits.rlim_cur > rlim_t(std::numeric_limits<qint64>::max())) {
        return std::numeric_limits<qint64>::max();
    }
    return qint64(limits.rlim_cur);
}

} // namespace Descriptors
