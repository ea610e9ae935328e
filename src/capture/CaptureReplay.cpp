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

std::shared_ptr<ProfileSource> openCaptureReplay(const QString& path, CaptureFilter filter, Playback playback,
                                                 QString& error) {
    CaptureReader reader;
    if (!reader.open(path, filter)) {
        error = reader.error();
        return nullptr;
    }
    std::vector<ProfileSnapshot> frames = readWhole(reader);
    if (!frames.empty() && reader.error().isEmpty())
        return std::make_shared<HeldFramesSource>(std::move(frames), playback);
    return CaptureProfileSource::open(path, filter, playback, error);
}
