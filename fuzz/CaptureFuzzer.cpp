// Arbitrary bytes as a capture file (pcap or pcapng). Checks that every
// profile handed out is a whole decoded packet and that the counts add up.
#include "FuzzCheck.h"
#include "capture/CaptureReader.h"
#include "udp/ProfilePacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CaptureReader reader;
    if (!reader.openMemory(data, size)) {
        require(reader.failure() && !reader.failure()->message.isEmpty(), "a refused capture says why");
        return 0;
    }
    CapturedProfile profile;
    long long profiles = 0;
    while (reader.next(profile)) {
        ++profiles;
        require(profile.points.x.size() == profile.points.z.size(), "one Z per X");
        require(profile.points.count() <= kMaxPacketPoints, "no more points than a packet carries");
    }
    const CaptureCounts& c = reader.counts();
    require(c.profiles == profiles, "every profile counted");
    require(c.profiles + c.skippedRecords + c.badPackets + c.otherDatagrams <= c.records, "at most one outcome per record");
    require(!reader.next(profile), "nothing after the end");
    return 0;
}
