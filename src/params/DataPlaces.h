#pragma once

#include <QString>

// Where the programs find their pictures and their parameter file. A program
// run from its build folder (or a copied folder) uses the files beside it; an
// installed one finds its defaults in the shared data folder and, since it
// cannot write beside itself, keeps a saved parameter file in the user's
// configuration folder.
struct DataPlaces {
    QString programDir;  // beside the program
    QString dataDir;     // the installed defaults, read-only
    QString configDir;   // the user's own folder ($XDG_CONFIG_HOME/px310-emulator)

    // The places of the running program.
    static DataPlaces ofThisProgram();
    // One folder for everything (tests, a chosen data folder).
    static DataPlaces inOneFolder(const QString& dir) { return {dir, dir, dir}; }
};

// `name` beside the program, else in the data folder; the path beside the
// program when neither has it, so that a message names the expected place.
QString dataFilePath(const DataPlaces& places, const QString& name);

// Where a flush writes user_params.ini: beside the program while that can be
// written, else the configuration folder.
QString userParamsSavePath(const DataPlaces& places);

// What the next start reads: the file a flush wrote, else the default found by
// dataFilePath.
QString userParamsLoadPath(const DataPlaces& places);
