#pragma once

#include <QElapsedTimer>
#include <QString>

// One line on standard error that a long command keeps rewriting (packets so
// far, bytes so far). Only on a terminal: in a script or a log it stays quiet.
class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine();  // clears the line again

    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Shows `text`, at most a few times a second.
    void show(const QString& text);

private:
    bool terminal_;
    bool shown_ = false;
    QElapsedTimer sinceShown_;
};
