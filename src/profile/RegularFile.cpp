#include "profile/RegularFile.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Outcome<int> openRegularFile(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int systemError = errno;
        return systemFailure(systemError, QStringLiteral("cannot open %1: %2")
                                              .arg(path, QString::fromLocal8Bit(std::strerror(systemError))));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return refusedFailure(QStringLiteral("cannot read %1: not a regular file").arg(path));
    }
    // Reads of a regular file do not block anyway; the flag only guarded the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
