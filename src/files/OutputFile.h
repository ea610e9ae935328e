#pragma once

#include "log/Failure.h"

#include <QByteArray>
#include <QSaveFile>
#include <QString>

class QImage;

// Every file these programs write goes through here: the bytes go to a
// temporary file beside the target, which replaces the target only once all
// of them reached the disk. A failure leaves the old file (or none) and says
// why. Only a regular file is replaced: a link, device or FIFO in the way is
// refused, so that no output follows a link or swallows a device.
class OutputFile {
public:
    explicit OutputFile(const QString& path) : file_(path), path_(path) {}
    // Without a commit, the temporary file goes.

    bool open();
    bool write(const QByteArray& bytes);
    // Renames the temporary file over the target; false when anything failed.
    bool commit();
    // "cannot write PATH: reason" once something failed, with the errno of
    // the call that failed.
    const MaybeFailure& failure() const { return failure_; }

private:
    bool failWith(const Failure& failure);
    bool failWith(int systemError, const QString& reason);

    QSaveFile file_;
    QString path_;
    MaybeFailure failure_;
};

// `bytes` as the whole of the file at `path`: nothing on success, else the failure.
MaybeFailure writeWholeFile(const QString& path, const QByteArray& bytes);

// `image` in the format the file name's suffix names (PNG, JPEG...), the same way.
MaybeFailure writeImageFile(const QString& path, const QImage& image);
