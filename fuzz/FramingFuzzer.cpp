// Bytes of one TCP connection go through the request framer in pieces and
// every request is dispatched against a fake sink. Checks that the framer
// cuts the stream as an independent reading of the header rules does, that a
// reply comes exactly where its command has one, and that results, picture
// chunks and record writes do what their commands promise. The factory
// write's sizes are few and pinned by the unit tests.
#include "FuzzCheck.h"
#include "params/UserParams.h"
#include "profile/CameraPicture.h"
#include "profile/ProfileSource.h"
#include "tcp/CommandDispatcher.h"
#include "tcp/CommandTable.h"
#include "state/MeasurementSchedule.h"
#include "tcp/Replies.h"
#include "tcp/RequestFramer.h"
#include "udp/HelloPacket.h"
#include "udp/ProfilePacket.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

namespace {

class RecordingSink : public CommandSink {
public:
    void sendReply(const QByteArray& bytes, const char*) override { replies.push_back(bytes); }
    void log(const QString&) override {}
    void userParamsUpdated() override { ++updates; }
    void flushParamsRequested() override {}
    void clientFinished() override {}

    std::vector<QByteArray> replies;
    int updates = 0;
};

// The header rules read once more, independently of the framer: a payload
// follows when announced; only write params (5) and write factory params
// (131) keep theirs, any other is passed over whatever its size; write
// factory params takes a 1024-byte image after its payload (the payload is
// the image when it is 1024 bytes long); a kept payload beyond the limit ends
// the stream. A request whose payload is being passed over leaves nothing held.
struct ExpectedStream {
    std::vector<Request> requests;
    bool broken = false;
    size_t leftover = 0;
};

ExpectedStream frameReference(const uint8_t* data, size_t size) {
    ExpectedStream expected;
    size_t at = 0;
    while (size - at >= sizeof(REQUEST_HEADER)) {
        REQUEST_HEADER header;
        std::memcpy(&header, data + at, sizeof header);
        const bool kept = header.command == 5 || header.command == 131;
        if (kept && header.payload_size > 64 * 1024) {
            expected.broken = true;
            return expected;
        }
        uint64_t body = header.payload_size;
        if (header.command == 131 && body != 1024)
            body += 1024;
        if (size - at - sizeof header < body) {
            if (!kept)
                at = size;
            break;
        }
        Request request;
        request.header = header;
        if (kept)
            request.payload = QByteArray(reinterpret_cast<const char*>(data + at + sizeof header), int(body));
        expected.requests.push_back(request);
        at += sizeof header + body;
    }
    expected.leftover = size - at;
    return expected;
}

const CameraPicture& testPicture() {
    static const CameraPicture picture = [] {
        CameraPicture p;
        for (int i = 0; i < kCameraPictureSize; ++i)
            p[i] = static_cast<uint8_t>(i * 7 + i / 251);
        return p;
    }();
    return picture;
}

struct SharedProfile {
    ProfileStore store;
    ProfileFeed feed{store};
    int sizeChoice = -1;
};
SharedProfile shared;

// Profiles of 0, a few, a typical and one point more than a packet carries.
// Rebuilt only when the choice changes: most inputs reuse the last one.
void fillProfile(SharedProfile& profile, int sizeChoice) {
    static const int kSizes[] = {0, 7, 1280, kMaxPacketPoints + 1};
    if ((sizeChoice & 3) == profile.sizeChoice)
        return;
    profile.sizeChoice = sizeChoice & 3;
    const int n = kSizes[profile.sizeChoice];
    std::vector<ProfilePoint> points(n);
    for (int i = 0; i < n; ++i)
        points[i] = {static_cast<int16_t>(i * 3 - n), static_cast<uint16_t>(i * 5)};
    profile.store.replace(points);
}

class Connection {
public:
    explicit Connection(const CameraPicture* picture)
        : picture_(picture),
          dispatcher_(state_, shared.feed, picture, schedule_),
          profileSize_(std::min(shared.store.count(), kMaxPacketPoints)) {}

    void serve(const Request& request) {
        // Results are not paced here: the fuzzer would otherwise wait out
        // whatever rate a written record sets.
        params_.update([](USER_PARAMS& p) { p.udp_frequency_u16 = 0; });
        const USER_PARAMS before = params_.snapshot();
        sink_.replies.clear();
        dispatcher_.dispatch(request, sink_);
        require(sink_.replies.size() <= 1, "at most one reply per request");
        const QByteArray reply = sink_.replies.empty() ? QByteArray() : sink_.replies.front();
        const CommandInfo* info = findCommand(request.header.command);
        if (!info) {
            require(sink_.replies.empty(), "unknown command answered");
            return;
        }
        checkReply(*info, request, before, reply);
    }

private:
    void checkReply(const CommandInfo& info, const Request& request, const USER_PARAMS& before,
                    const QByteArray& reply) {
        switch (info.action) {
        case CommandAction::GetResult:
            return checkResult(before, reply);
        case CommandAction::GetImageBuffer:
            return checkChunk(request.header, reply);
        case CommandAction::WriteParams:
            return checkWrite(request.payload, before, reply);
        case CommandAction::GetImage:
            ++imageCounter_;
            chunkCounter_ = 0;
            break;
        default:
            break;
        }
        // The fixed replies' bytes are pinned by the unit tests; here only whether one comes.
        static const std::set<CommandAction> answered = {CommandAction::ReadParams, CommandAction::FlushParams,
                                                         CommandAction::GetExtents, CommandAction::ReadFactoryParams};
        require(reply.isEmpty() != bool(answered.count(info.action)), "a reply exactly where the command has one");
    }

    void checkResult(const USER_PARAMS& params, const QByteArray& reply) {
        const bool stepdir = params.ext_sync_signal_u16 == packet::kExtSyncStepdir;
        require(reply.size() == profilePacketSize(profileSize_, stepdir), "result size");
        const auto* bytes = reinterpret_cast<const uint8_t*>(reply.constData());
        require(packetChecksum(bytes, size_t(reply.size())) == 0, "result checksum");
        require((bytes[packet::kPointCount] | bytes[packet::kPointCount + 1] << 8) == profileSize_, "point count");
        require((bytes[packet::kPacketCounter] | bytes[packet::kPacketCounter + 1] << 8) == (results_ & 0xFFFF),
                "results numbered in order");
        ++results_;
    }

    void checkChunk(const REQUEST_HEADER& header, const QByteArray& reply) {
        const uint64_t size = picture_ ? kCameraPictureSize : 0;
        const uint64_t available = header.offset < size ? std::min<uint64_t>(header.length, size - header.offset) : 0;
        require(uint64_t(reply.size()) == kPictureChunkHeaderSize + available, "chunk size");
        require(uint8_t(reply[0]) == imageCounter_ && uint8_t(reply[1]) == chunkCounter_, "chunk counters");
        if (available > 0)
            require(std::memcmp(reply.constData() + 2, picture_->data() + header.offset, available) == 0,
                    "chunk bytes");
        ++chunkCounter_;
    }

    void checkWrite(const QByteArray& payload, const USER_PARAMS& before, const QByteArray& reply) {
        const QByteArray after = paramsImage(params_.snapshot());
        if (payload.size() == kUserParamsSize) {
            require(reply == "OK" && after == payload, "whole record written");
            ++expectedUpdates_;
        } else {
            require(reply.isEmpty() && after == paramsImage(before), "wrong-sized record refused");
        }
        require(sink_.updates == expectedUpdates_, "one update per written record");
    }

    const CameraPicture* picture_;
    ScannerState state_;
    UserParamsStore& params_ = state_.record();
    MeasurementSchedule schedule_;
    CommandDispatcher dispatcher_;
    RecordingSink sink_;
    int profileSize_ = 0;
    uint8_t imageCounter_ = 255;
    uint8_t chunkCounter_ = 0;
    uint32_t results_ = 0;
    int expectedUpdates_ = 0;
};

}  // namespace

// Byte 0 chooses the setting: bit 0 a picture, bits 1-2 the profile size,
// bits 4-7 the size of the pieces the stream arrives in (0: all at once).
// The rest is the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t setup = data[0];
    const uint8_t* stream = data + 1;
    const size_t streamSize = size - 1;
    fillProfile(shared, setup >> 1);
    Connection connection((setup & 1) ? &testPicture() : nullptr);

    const ExpectedStream expected = frameReference(stream, streamSize);
    const size_t piece = (setup >> 4) ? (setup >> 4) : std::max<size_t>(streamSize, 1);
    RequestFramer framer;
    size_t served = 0;
    Request request;
    for (size_t at = 0; at < streamSize && !framer.broken(); at += piece) {
        framer.feed(reinterpret_cast<const char*>(stream + at), int(std::min(piece, streamSize - at)));
        while (framer.next(request)) {
            require(served < expected.requests.size(), "no more requests than the stream holds");
            const Request& want = expected.requests[served++];
            require(std::memcmp(&request.header, &want.header, sizeof want.header) == 0 &&
                        request.payload == want.payload,
                    "requests cut where their headers say");
            connection.serve(request);
        }
    }
    require(served == expected.requests.size(), "every complete request handed out");
    require(framer.broken() == expected.broken, "an oversized kept payload breaks the stream");
    if (!expected.broken)
        require(size_t(framer.pending()) == expected.leftover, "unfinished tail kept, a passed-over payload not");
    return 0;
}
