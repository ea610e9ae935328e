#pragma once

#include "log/Failure.h"
#include "params/UserParams.h"

#include <QString>
#include <QStringList>

// user_params.ini beside the program: the record's named fields plus three
// panel values that are not part of the record, all in the group "UserParams".

struct SpinRange {
    int min;
    int max;
    int clamp(long long value) const { return static_cast<int>(value < min ? min : (value > max ? max : value)); }
};

// The ranges of the panel's spin boxes for the three extra values.
constexpr SpinRange kSerialRange{0, 999999};
constexpr SpinRange kXsmrRange{1, 1000};
constexpr SpinRange kZbaseRange{1, 1000};

// The point-count list has five entries; a stored index outside it selects "640".
constexpr int kPointCountChoices = 5;
constexpr int kDefaultPointCountIndex = 3;

// The serial number, XSMR and ZBASE of the panel.
struct PanelExtras {
    int serial = 0;
    int xsmr = 0;
    int zbase = 0;
};

struct UserParamsIniLoad {
    PanelExtras extras;    // already clamped to the spin boxes' ranges
    QStringList warnings;  // defaults that stood in for the file's content, for the log
};

// Fills every named field of `params` (bytes 0-66) from the file; the reserved
// bytes are left as they are. Missing keys, non-numbers and a missing,
// unreadable or not regular file or one over 1 MiB (not read) give 0; integers keep their low 8 or 16 bits; addresses
// follow the dotted-text rule. An interpolation_u8 outside the point-count
// list is replaced by kDefaultPointCountIndex in `params`.
UserParamsIniLoad loadUserParamsIni(const QString& path, USER_PARAMS& params);

// Writes the file anew with every key (whatever else the old file held is
// gone) and replaces the old one atomically. The failure says "cannot write
// <path>: ..." when the file could not be written.
MaybeFailure saveUserParamsIni(const QString& path, const USER_PARAMS& params, const PanelExtras& extras);
