#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

class QImage;
class QIODevice;

// Every file these programs write goes through here: the bytes go to a
// temporary file beside the target, which replaces the target only once all
// of them reached the disk. A failure leaves the old file (or none) and says
// why. Only a regular file is replaced: a link, device or FIFO in the way is
// refused, so that no output follows a link or swallows a device.
class OutputFile {
public:
    explicit OutputFile(const QString& path);
    ~OutputFile();  // without commit, the temporary file goes

    bool open();
    bool write(const QByteArray& bytes);
    // For writers that take a device; a short write there fails the commit.
    QIODevice& device();
    // Renames the temporary file over the target; false when anything failed.
    bool commit();
    // Gives up for `reason` (unless a write failed first, which is then the
    // reason): the temporary file goes. Always false.
    bool abandon(const QString& reason);
    // "cannot write PATH: reason" once something failed.
    const QString& error() const { return error_; }

private:
    bool failWith(const QString& reason);

    class CheckedFile;
    std::unique_ptr<CheckedFile> file_;
    QString path_;
    QString error_;
};

// `bytes` as the whole of the file at `path`: an empty text on success, else the error.
QString writeWholeFile(const QString& path, const QByteArray& bytes);

// `image` in the format the file name's suffix names (PNG, JPEG...), the same way.
QString writeImageFile(const QString& path, const QImage& image);
