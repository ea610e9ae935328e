#include "DescriptorLimit.h"

#include <sys/resource.h>

bool makeRoomForDescriptors(long scanners, QString* error) {
    const rlim_t needed = rlim_t(descriptorsNeeded(scanners));
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
        *error = QStringLiteral("%1 scanners need %2 open files, but the limit is %3 (ulimit -n); raise it or run "
                                "fewer scanners")
                     .arg(scanners)
                     .arg(qulonglong(needed))
                     .arg(qulonglong(limit.rlim_max));
        return false;
    }
    limit.rlim_cur = needed;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        *error = QStringLiteral("%1 scanners need %2 open files, but the limit of %3 could not be raised")
                     .arg(scanners)
                     .arg(qulonglong(needed))
                     .arg(qulonglong(limit.rlim_cur));
        return false;
    }
    return true;
}
