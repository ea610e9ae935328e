#include "files/OutputFile.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

bool OutputFile::open() {
    struct stat status {};
    if (::lstat(QFile::encodeName(path_).constData(), &status) == 0 && !S_ISREG(status.st_mode))
        return failWith(refusedFailure(QStringLiteral("it exists and is not a regular file, so it is not replaced")));
    // Unbuffered: QSaveFile does not notice when its buffer later fails to
    // reach the file, so every write goes straight there and is checked.
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failWith(errno, file_.errorString());
    return true;
}

bool OutputFile::write(const QByteArray& bytes) {
    // A short write (the disk filled up) says why only when tried again.
    for (qint64 done = 0; !failure_ && done < bytes.size();) {
        const qint64 written = file_.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return failWith(errno, file_.errorString());
        done += written;
    }
    return !failure_;
}

bool OutputFile::commit() {
    if (failure_)
        return false;
    // Some file systems find out only here that the disk is full.
    if (::fsync(file_.handle()) != 0)
        return failWith(errno, qt_error_string(errno));
    if (!file_.commit())
        return failWith(errno, file_.errorString());
    return true;
}

// Qt's words, with the errno they were made from (Qt keeps no errno of its own).
bool OutputFile::failWith(int systemError, const QString& reason) {
    return failWith(systemFailure(systemError, reason));
}

bool OutputFile::failWith(const Failure& failure) {
    if (!failure_) {
        failure_ = failure;
        failure_->message = QStringLiteral("cannot write %1: %2").arg(path_, failure.message);
    }
    file_.cancelWriting();
    return false;
}

MaybeFailure writeWholeFile(const QString& path, const QByteArray& bytes) {
    OutputFile file(path);
    if (file.open() && file.write(bytes))
        file.commit();
    return file.failure();
}

MaybeFailure writeImageFile(const QString& path, const QImage& image) {
    const QByteArray format = QFileInfo(path).suffix().toLower().toLatin1();
    if (!QImageWriter::supportedImageFormats().contains(format))
        return refusedFailure(QStringLiteral("cannot write %1: \"%2\" names no image format this program writes")
                                  .arg(path, QString::fromLatin1(format)));
    // Encoded in memory first: an encoder failing mid-file (libpng on a full
    // disk) may leak its buffers, and the file is written whole anyway.
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (!writer.write(image))
        return inputFailure(QStringLiteral("cannot write %1: %2").arg(path, writer.errorString()));
    return writeWholeFile(path, encoded);
}
