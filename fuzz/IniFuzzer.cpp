// Arbitrary bytes as the parameter file. Checks that loading leaves the
// reserved bytes alone and keeps every value in its range, and that saving
// what was loaded and loading it again gives the same record and panel values.
#include "FuzzCheck.h"
#include "params/UserParamsIni.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace {

// Qt keeps parsed files by name and re-reads one only when its size or
// millisecond time stamp changed, which two runs in the same millisecond
// need not do: every run gets names of its own.
QString scratchPath(const char* role) {
    static unsigned run = 0;
    return QDir::tempPath() +
           QStringLiteral("/px310-fuzz-%1-%2-%3.ini").arg(::getpid()).arg(run++).arg(QLatin1String(role));
}

void writeFile(const QString& path, const uint8_t* data, size_t size) {
    QFile file(path);
    require(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "scratch file opens");
    require(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size), "scratch file written");
}

bool sameExtras(const PanelExtras& a, const PanelExtras& b) {
    return a.serial == b.serial && a.xsmr == b.xsmr && a.zbase == b.zbase;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString input = scratchPath("input");
    const QString saved = scratchPath("saved");
    writeFile(input, data, size);

    USER_PARAMS params;
    std::memset(&params, 0xA5, sizeof params);
    const UserParamsIniLoad load = loadUserParamsIni(input, params);
    for (size_t i = offsetof(USER_PARAMS, reserved); i < sizeof params; ++i)
        require(reinterpret_cast<const uint8_t*>(&params)[i] == 0xA5, "reserved bytes kept");
    require(params.interpolation_u8 < kPointCountChoices, "point-count index in the list");
    require(load.extras.serial == kSerialRange.clamp(load.extras.serial) &&
                load.extras.xsmr == kXsmrRange.clamp(load.extras.xsmr) &&
                load.extras.zbase == kZbaseRange.clamp(load.extras.zbase),
            "panel values in their spin boxes' ranges");

    require(!saveUserParamsIni(saved, params, load.extras), "saved");
    USER_PARAMS reloaded;
    std::memset(&reloaded, 0xA5, sizeof reloaded);
    const UserParamsIniLoad again = loadUserParamsIni(saved, reloaded);
    require(std::memcmp(&reloaded, &params, sizeof params) == 0, "saved record loads back unchanged");
    require(sameExtras(again.extras, load.extras), "saved panel values load back unchanged");
    // Only a port of 0, which the file may hold, is worth a note.
    require(std::all_of(again.warnings.begin(), again.warnings.end(),
                        [](const QString& w) { return w.contains(QLatin1String("_port_u16 is 0")); }),
            "a saved file loads without warnings");
    QFile::remove(input);
    QFile::remove(saved);
    return 0;
}
