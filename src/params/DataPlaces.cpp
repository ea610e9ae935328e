#include "params/DataPlaces.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString kParamsFile = QStringLiteral("user_params.ini");
const QString kFolderName = QStringLiteral("px310-emulator");

// The build sets where the data folder lies from the installed program.
#ifndef PX310_DATA_DIR_FROM_BIN
#define PX310_DATA_DIR_FROM_BIN "../share/px310-emulator"
#endif

bool canWrite(const QString& path) {
    const QFileInfo file(path);
    if (file.exists())
        return file.isFile() && file.isWritable();
    const QFileInfo dir(file.absolutePath());
    return dir.isDir() && dir.isWritable();
}

// The XDG rules ignore a relative XDG_CONFIG_HOME, as if it were not set.
QString configHome() {
    if (QDir::isRelativePath(QFile::decodeName(qgetenv("XDG_CONFIG_HOME"))))
        return QDir::homePath() + QStringLiteral("/.config");
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

}  // namespace

DataPlaces DataPlaces::ofThisProgram() {
    const QString programDir = QCoreApplication::applicationDirPath();
    return {programDir, QDir::cleanPath(programDir + QStringLiteral("/" PX310_DATA_DIR_FROM_BIN)),
            configHome() + '/' + kFolderName};
}

QString dataFilePath(const DataPlaces& places, const QString& name) {
    const QString beside = places.programDir + '/' + name;
    const QString installed = places.dataDir + '/' + name;
    return !QFileInfo::exists(beside) && QFileInfo::exists(installed) ? installed : beside;
}

QString userParamsSavePath(const DataPlaces& places) {
    const QString beside = places.programDir + '/' + kParamsFile;
    // An installed program (its defaults in the data folder) starts no file
    // beside itself, not even when run by root.
    const bool installed =
        places.dataDir != places.programDir && QFileInfo::exists(places.dataDir + '/' + kParamsFile);
    const bool useBeside = (QFileInfo::exists(beside) || !installed) && canWrite(beside);
    return useBeside ? beside : places.configDir + '/' + kParamsFile;
}

QString userParamsLoadPath(const DataPlaces& places) {
    const QString saved = userParamsSavePath(places);
    return QFileInfo::exists(saved) ? saved : dataFilePath(places, kParamsFile);
}
