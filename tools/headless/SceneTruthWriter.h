#pragma once

#include "files/OutputFile.h"
#include "scanner/Scanner.h"

#include <QTimer>

// Writes the true values of a scanner's scene, one CSV line per measurement
// the stream has reached. The stream's counter is polled on this thread, so
// the stream itself never waits for the file. The lines go to a temporary
// file that finish() renames into place; an error leaves no file behind.
class SceneTruthWriter : public QObject {
    Q_OBJECT
public:
    static constexpr int kPollMs = 50;
    // A poll writes at most this many lines; a longer jump of the counter
    // (a restart far ahead) is skipped and counted.
    static constexpr uint32_t kMaxLinesPerPoll = 100000;

    SceneTruthWriter(const Scanner& scanner, const QString& path, QObject* parent = nullptr);

    // Opens the temporary file and starts polling.
    MaybeFailure open();
    // Writes what is left, then renames the file into place.
    MaybeFailure finish();
    // Measurements left out because the counter jumped too far at once.
    uint64_t skipped() const { return skipped_; }
    // Writes the lines up to the stream's counter now.
    void poll();

private:
    const Scanner& scanner_;
    OutputFile file_;
    QTimer timer_;
    uint32_t written_ = 0;  // the last measurement written
    uint64_t skipped_ = 0;
};
