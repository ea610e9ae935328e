#include "capture/CaptureProfileSource.h"

#include <algorithm>

Outcome<std::unique_ptr<CaptureProfileSource>> CaptureProfileSource::open(const QString& path, CaptureFilter filter,
                                                                          Playback playback) {
    auto reader = std::make_unique<CaptureReader>();
    CapturedProfile first;
    if (!reader->open(path, filter) || !reader->next(first)) {
        if (reader->failure())
            return *reader->failure();
        return inputFailure(QStringLiteral("no profile packets in %1: %2").arg(path, reader->summary()));
    }
    return std::unique_ptr<CaptureProfileSource>(
        new CaptureProfileSource(path, filter, playback, std::move(reader), std::move(first.points)));
}

CaptureProfileSource::CaptureProfileSource(const QString& path, CaptureFilter filter, Playback playback,
                                           std::unique_ptr<CaptureReader> reader, ProfileSnapshot first)
    : path_(path), filter_(filter), playback_(playback), reader_(std::move(reader)) {
    window_.push_back(std::move(first));
    reader_->setStopFlag(&stopping_);
    thread_ = std::thread([this] { readAhead(); });
}

CaptureProfileSource::~CaptureProfileSource() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool CaptureProfileSource::readerHasWork() const {
    return stop_ || restart_ ||
           (!atEnd_ && (window_.size() < kWindowFrames || windowStart_ < wanted_ - kFramesKeptBehind));
}

void CaptureProfileSource::dropFramesBehind() {
    while (window_.size() >= kWindowFrames && windowStart_ < wanted_ - kFramesKeptBehind) {
        window_.pop_front();
        ++windowStart_;
    }
}

void CaptureProfileSource::readAhead() {
    CapturedProfile frame;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return readerHasWork(); });
        if (stop_)
            return;
        if (restart_) {
            restart_ = false;
            atEnd_ = false;
            window_.clear();
            windowStart_ = 0;
        }
        dropFramesBehind();
        const bool fromStart = window_.empty();
        lock.unlock();
        // The file was readable at open: a failure to read it again ends the pass.
        const bool got = (!fromStart || reader_->open(path_, filter_)) && reader_->next(frame);
        lock.lock();
        if (stop_)
            return;
        if (got && !restart_) {
            window_.push_back(std::move(frame.points));
        } else if (!got) {
            atEnd_ = true;
            frameCount_ = windowStart_ + static_cast<long long>(window_.size());
        }
        changed_.notify_all();
    }
}

void CaptureProfileSource::copyProfile(uint64_t measurement, ProfileSnapshot& out, int maxPoints) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
    for (;;) {
        const long long k = static_cast<long long>(frameOfLocked(measurement));
        const long long held = windowStart_ + static_cast<long long>(window_.size());
        if (k >= windowStart_ && k < held) {
            copyFrame(window_[size_t(k - windowStart_)], out, maxPoints);
            if (k > wanted_) {
                wanted_ = k;
                changed_.notify_all();
            }
            return;
        }
        if (k < windowStart_)
            restart_ = true;
        else if (atEnd_ && frameCount_ <= 0)  // the file was emptied or replaced under us
            break;
        wanted_ = k;
        changed_.notify_all();
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout)
            break;
    }
    out.x.clear();
    out.z.clear();
}

long long CaptureProfileSource::frameCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frameCount_;
}

uint64_t CaptureProfileSource::frameOfLocked(uint64_t measurement) const {
    const uint64_t frames = frameCount_ > 0 ? uint64_t(frameCount_) : UINT64_MAX;
    return frameOfMeasurement(measurement, frames, playback_);
}

// As copyProfile() maps a measurement to its frame.
RecordingFrame CaptureProfileSource::frameOf(uint64_t measurement) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {static_cast<long long>(frameOfLocked(measurement)) + 1, frameCount_};
}

