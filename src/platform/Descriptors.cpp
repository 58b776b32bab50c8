#include "platform/Descriptors.h"

#include <limits>

#include <sys/resource.h>

namespace Descriptors {

namespace {

// The limits the program started with, once raiseLimit changed them.
rlimit startingLimits{};
bool raised = false;

} // namespace

void raiseLimit() {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0 || limits.rlim_cur == limits.rlim_max) {
        return;
    }
    startingLimits = limits;
    raised = true;
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

void restoreInChild() {
    if (raised) {
        ::setrlimit(RLIMIT_NOFILE, &startingLimits);
    }
}

} // namespace Descriptors
