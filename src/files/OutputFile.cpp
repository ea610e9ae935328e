#include "files/OutputFile.h"

#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

// QSaveFile reports a write that fell short (disk full) only to the caller
// of that write, and its buffered writes not at all: writes here go straight
// to the file, and the first failure is kept for the commit.
class OutputFile::CheckedFile : public QSaveFile {
public:
    using QSaveFile::QSaveFile;
    QString failure;

protected:
    qint64 writeData(const char* data, qint64 length) override {
        qint64 done = 0;
        while (failure.isEmpty() && done < length) {
            const qint64 written = QSaveFile::writeData(data + done, length - done);
            if (written <= 0)
                failure = errorString();
            else
                done += written;
        }
        return failure.isEmpty() ? length : -1;
    }
};

OutputFile::OutputFile(const QString& path) : file_(std::make_unique<CheckedFile>(path)), path_(path) {}

OutputFile::~OutputFile() = default;

bool OutputFile::open() {
    struct stat status {};
    if (::lstat(QFile::encodeName(path_).constData(), &status) == 0 && !S_ISREG(status.st_mode))
        return failWith(QStringLiteral("it exists and is not a regular file, so it is not replaced"));
    if (!file_->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failWith(file_->errorString());
    return true;
}

bool OutputFile::write(const QByteArray& bytes) {
    if (file_->write(bytes) == bytes.size())
        return true;
    return failWith(file_->failure.isEmpty() ? file_->errorString() : file_->failure);
}

QIODevice& OutputFile::device() { return *file_; }

bool OutputFile::commit() {
    if (!error_.isEmpty())
        return false;
    if (!file_->failure.isEmpty())
        return failWith(file_->failure);
    // Some file systems find out only here that the disk is full.
    if (::fsync(file_->handle()) != 0)
        return failWith(qt_error_string(errno));
    if (!file_->commit())
        return failWith(file_->errorString());
    return true;
}

bool OutputFile::abandon(const QString& reason) {
    return failWith(file_->failure.isEmpty() ? reason : file_->failure);
}

bool OutputFile::failWith(const QString& reason) {
    if (error_.isEmpty())
        error_ = QStringLiteral("cannot write %1: %2").arg(path_, reason);
    file_->cancelWriting();
    return false;
}

QString writeWholeFile(const QString& path, const QByteArray& bytes) {
    OutputFile file(path);
    if (file.open() && file.write(bytes))
        file.commit();
    return file.error();
}

QString writeImageFile(const QString& path, const QImage& image) {
    const QByteArray format = QFileInfo(path).suffix().toLower().toLatin1();
    if (!QImageWriter::supportedImageFormats().contains(format))
        return QStringLiteral("cannot write %1: \"%2\" names no image format this program writes")
            .arg(path, QString::fromLatin1(format));
    OutputFile file(path);
    if (!file.open())
        return file.error();
    QImageWriter writer(&file.device(), format);
    if (writer.write(image))
        file.commit();
    else
        file.abandon(writer.errorString());
    return file.error();
}
