#include "capture/CaptureReplay.h"

#include "capture/CaptureProfileSource.h"

#include <algorithm>
#include <vector>

namespace {

size_t bytesOf(const ProfileSnapshot& frame) { return frame.x.size() * sizeof(int16_t) + frame.z.size() * sizeof(uint16_t); }

// Every frame, or none when the file holds more than the bound.
std::vector<ProfileSnapshot> readWhole(CaptureReader& reader) {
    std::vector<ProfileSnapshot> frames;
    size_t bytes = 0;
    CapturedProfile frame;
    while (reader.next(frame)) {
        bytes += bytesOf(frame.points);
        if (bytes > kMaxCaptureBytesInMemory)
            return {};
        frames.push_back(std::move(frame.points));
    }
    return frames;
}

}  // namespace

Outcome<std::shared_ptr<ProfileSource>> openCaptureReplay(const QString& path, CaptureFilter filter,
                                                          Playback playback) {
    CaptureReader reader;
    if (!reader.open(path, filter))
        return *reader.failure();
    std::vector<ProfileSnapshot> frames = readWhole(reader);
    if (!frames.empty() && !reader.failure())
        return std::shared_ptr<ProfileSource>(std::make_shared<HeldFramesSource>(std::move(frames), playback));
    Outcome<std::unique_ptr<CaptureProfileSource>> ahead = CaptureProfileSource::open(path, filter, playback);
    if (!ahead.ok())
        return ahead.failure();
    return std::shared_ptr<ProfileSource>(std::move(*ahead));
}
