#include "params/DataPlaces.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// A program folder, an installed data folder and the user's folder.
struct Layout {
    QTemporaryDir root;
    DataPlaces places{root.path() + "/bin", root.path() + "/share", root.path() + "/config"};

    Layout() {
        QDir(root.path()).mkpath("bin");
        QDir(root.path()).mkpath("share");
    }
    void touch(const QString& path) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    QString in(const QString& dir) const { return dir + "/user_params.ini"; }
};

}  // namespace

TEST(DataPlaces, ABuildTreeKeepsItsParameterFileBesideTheProgram) {
    Layout layout;
    const DataPlaces& p = layout.places;
    EXPECT_EQ(userParamsSavePath(p), layout.in(p.programDir));
    layout.touch(layout.in(p.programDir));
    EXPECT_EQ(userParamsLoadPath(p), layout.in(p.programDir));
    layout.touch(p.dataDir + "/kelvora.jpg");
    layout.touch(p.programDir + "/kelvora.jpg");
    EXPECT_EQ(dataFilePath(p, "kelvora.jpg"), p.programDir + "/kelvora.jpg") << "beside the program first";
}

TEST(DataPlaces, AnInstalledProgramKeepsItInTheUsersFolderAndLoadsItFromThere) {
    Layout layout;
    const DataPlaces& p = layout.places;
    layout.touch(layout.in(p.dataDir));
    EXPECT_EQ(userParamsLoadPath(p), layout.in(p.dataDir)) << "the installed defaults until a flush";
    EXPECT_EQ(userParamsSavePath(p), layout.in(p.configDir)) << "even where the program's folder is writable";
    QDir().mkpath(p.configDir);
    layout.touch(layout.in(p.configDir));
    EXPECT_EQ(userParamsLoadPath(p), layout.in(p.configDir));
}
