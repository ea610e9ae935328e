#include "DescriptorLimit.h"

#include <cerrno>
#include <sys/resource.h>

MaybeFailure makeRoomForDescriptors(long scanners) {
    const rlim_t needed = rlim_t(descriptorsNeeded(scanners));
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return std::nullopt;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed)
        return refusedFailure(QStringLiteral("%1 scanners need %2 open files, but the limit is %3 (ulimit -n); raise "
                                             "it or run fewer scanners")
                                  .arg(scanners)
                                  .arg(qulonglong(needed))
                                  .arg(qulonglong(limit.rlim_max)));
    limit.rlim_cur = needed;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return systemFailure(errno, QStringLiteral("%1 scanners need %2 open files, but the limit of %3 could not be raised")
                                        .arg(scanners)
                                        .arg(qulonglong(needed))
                                        .arg(qulonglong(limit.rlim_cur)));
    return std::nullopt;
}
