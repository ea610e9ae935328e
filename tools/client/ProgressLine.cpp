#include "ProgressLine.h"

#include <cstdio>
#include <unistd.h>

namespace {
constexpr int kIntervalMs = 200;
const char* const kClearLine = "\r\033[K";
}  // namespace

ProgressLine::ProgressLine() : terminal_(::isatty(STDERR_FILENO) == 1) {}

ProgressLine::~ProgressLine() {
    if (shown_) {
        std::fputs(kClearLine, stderr);
        std::fflush(stderr);
    }
}

void ProgressLine::show(const QString& text) {
    if (!terminal_ || (shown_ && sinceShown_.elapsed() < kIntervalMs))
        return;
    std::fprintf(stderr, "%s%s", kClearLine, text.toLocal8Bit().constData());
    std::fflush(stderr);
    shown_ = true;
    sinceShown_.start();
}
