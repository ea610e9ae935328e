#include "profile/ProfileModel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <unordered_set>

namespace {

// A profile as one comparable value.
std::string profileKey(const ProfileSnapshot& s) {
    std::string key(reinterpret_cast<const char*>(s.x.data()), s.x.size() * sizeof(int16_t));
    key.append(reinterpret_cast<const char*>(s.z.data()), s.z.size() * sizeof(uint16_t));
    return key;
}

// A drawing session with dots, lines, arcs, midpoints, rebuilds and clears.
// `afterWrite` runs after every call that may change the profile.
void drawSession(ProfileModel& model, UserParamsStore& params, const std::function<void()>& afterWrite) {
    constexpr int kRounds = 40;
    constexpr int kColumns = 120;
    for (int round = 0; round < kRounds; ++round) {
        const int row = 100 + round;
        const int columns = kColumns - round;  // every round ends at another length
        params.update([round](USER_PARAMS& p) { p.interpolation_u8 = round % 2 ? 4 : 0; });
        model.clear();
        afterWrite();
        for (int x = 0; x < columns / 2; ++x) {
            model.appendDot(x, row);
            afterWrite();
        }
        Segment line = Segment::startingAt(columns / 2, row);
        line.setEnd(columns, row + 3);
        for (Dot d : linePoints(line)) {
            model.appendDot(d.x, d.y);
            afterWrite();
        }
        Segment arc = Segment::startingAt(columns, row);
        arc.setEnd(columns + 40, row + 20);
        for (Dot d : arcPoints(arc)) {
            model.appendDot(d.x, d.y);
            afterWrite();
        }
        for (int index : {round % 5, 4, (round + 2) % 5}) {
            model.rebuild(index);
            afterWrite();
        }
    }
}

// Every profile the session leaves behind after one of its writes.
std::unordered_set<std::string> wholeProfiles() {
    ProfileStore store;
    UserParamsStore params;
    ProfileModel model(store, params);
    std::unordered_set<std::string> whole;
    ProfileSnapshot snapshot;
    auto record = [&] {
        store.copySnapshot(snapshot);
        whole.insert(profileKey(snapshot));
    };
    record();
    drawSession(model, params, record);
    return whole;
}

TEST(ProfileModelConcurrency, ReaderOnlySeesWholeProfiles) {
    const std::unordered_set<std::string> whole = wholeProfiles();
    ASSERT_GT(whole.size(), 1000u);

    ProfileStore store;
    UserParamsStore params;
    ProfileModel model(store, params);
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    long torn = 0;
    int firstTornCount = -1;
    std::thread reader([&] {
        ProfileSnapshot snapshot;
        while (!done.load()) {
            store.copySnapshot(snapshot);
            ++reads;
            if (!whole.count(profileKey(snapshot)) && torn++ == 0)
                firstTornCount = snapshot.count();
        }
    });
    // Keep drawing until the reader has overlapped the writer for a while; a
    // busy machine may start the reader late.
    for (int repeat = 0; repeat < 5 || (reads.load() < 1000 && repeat < 500); ++repeat)
        drawSession(model, params, [] {});
    done = true;
    reader.join();

    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn, 0) << "first torn profile had " << firstTornCount << " points, out of " << reads.load() << " reads";
}

}  // namespace
