// Reads files that are small on disk or large and mostly ignored, and prints
// for each the time and the peak memory it took above the program's own:
//  1. a CSV of short lines, far more than the points kept;
//  2. a JPEG whose header announces 65500 x 65500 pixels;
//  3. a parameter file of many keys, beyond the size that is read.
#include "params/UserParamsIni.h"
#include "profile/CameraPicture.h"
#include "profile/CsvProfile.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QCoreApplication>
#include <QImage>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

namespace {

// Peak resident memory in KiB since the last reset.
long peakKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

void resetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

void measure(const char* what, qint64 fileBytes, const std::function<QString()>& read) {
    resetPeak();
    const long before = peakKb();
    QElapsedTimer timer;
    timer.start();
    const QString outcome = read();
    std::printf("%-34s %9.1f MB file %8lld ms %8.1f MB peak above start  %s\n", what, fileBytes / 1e6,
                timer.elapsed(), (peakKb() - before) / 1024.0, qPrintable(outcome.left(60)));
}

qint64 writeFile(const QString& path, const std::function<void(QFile&)>& fill) {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    fill(file);
    return file.size();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // image plugins are found through it
    QTemporaryDir dir;

    const QString csv = dir.filePath("short-lines.csv");
    const qint64 csvBytes = writeFile(csv, [](QFile& f) {
        const QByteArray block = QByteArray("1;2\n").repeated(1 << 16);
        for (int i = 0; i < 400; ++i)
            f.write(block);
    });
    measure("CSV of short lines", csvBytes,
            [&] { return csvImportSummary(readCsvProfile(csv, CsvScale{70, 170}), csv); });

    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImage(480, 640, QImage::Format_RGB32).save(&buffer, "JPG");
    const int frame = jpeg.indexOf("\xFF\xC0");
    jpeg.replace(frame + 5, 4, QByteArray("\xFF\xDC\xFF\xDC", 4));
    const QString picture = dir.filePath("huge-header.jpg");
    const qint64 jpegBytes = writeFile(picture, [&](QFile& f) { f.write(jpeg); });
    measure("JPEG announcing 65500 x 65500", jpegBytes, [&] {
        static CameraPicture out;
        return messageOf(loadCameraPicture(picture, out));
    });

    const QString ini = dir.filePath("many-keys.ini");
    const qint64 iniBytes = writeFile(ini, [](QFile& f) {
        f.write("[UserParams]\n");
        for (int i = 0; i < 2000000; ++i)
            f.write(QByteArray("key") + QByteArray::number(i) + "=" + QByteArray::number(i * 7) + "\n");
    });
    measure("parameter file of 2 million keys", iniBytes, [&] {
        USER_PARAMS params{};
        return loadUserParamsIni(ini, params).warnings.join(QStringLiteral("; "));
    });
    return 0;
}
