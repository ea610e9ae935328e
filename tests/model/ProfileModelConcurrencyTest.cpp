#include "profile/ProfileModel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>

namespace {

using Profile = std::pair<std::vector<int16_t>, std::vector<uint16_t>>;

// Draws rows of dots with and without midpoints and rebuilds them at every
// point-count index; `afterWrite` runs after each call that may change the profile.
void drawSession(ProfileModel& model, UserParamsStore& params, const std::function<void()>& afterWrite) {
    for (int round = 0; round < 20; ++round) {
        params.update([round](USER_PARAMS& p) { p.interpolation_u8 = round % 2 ? 4 : 0; });
        model.clear();
        afterWrite();
        for (int x = 0; x < 120 - round; ++x) {  // every round ends at another length
            model.appendDot(x, 100 + round + x % 3);
            afterWrite();
        }
        for (int index = 0; index < 5; ++index) {
            model.rebuild(index);
            afterWrite();
        }
    }
}

Profile copyOf(const ProfileStore& store) {
    ProfileSnapshot snapshot;
    store.copySnapshot(snapshot);
    return {snapshot.x, snapshot.z};
}

TEST(ProfileModelConcurrency, AReaderOnlySeesProfilesThatWereWhole) {
    std::set<Profile> whole;  // every profile the session leaves after one of its writes
    {
        ProfileStore store;
        UserParamsStore params;
        ProfileModel model(store, params);
        drawSession(model, params, [&] { whole.insert(copyOf(store)); });
    }
    ProfileStore store;
    UserParamsStore params;
    ProfileModel model(store, params);
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    long torn = 0;
    std::thread reader([&] {
        for (; !done; ++reads)
            torn += whole.count(copyOf(store)) == 0;
    });
    // A busy machine may start the reader late: draw until it has overlapped.
    for (int repeat = 0; repeat < 3 || (reads < 5000 && repeat < 1000); ++repeat)
        drawSession(model, params, [] {});
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

}  // namespace
