#include "profile/ProfileStore.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

// Versions of every store in the process: a snapshot's stamp names one
// version of one store, even after that store is gone.
std::atomic<uint64_t> lastVersion{0};

uint64_t newVersion() { return ++lastVersion; }

}  // namespace

ProfileStore::ProfileStore() : buffer_(new ProfileBuffer), version_(newVersion()) {}

int ProfileStore::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return profileCount_;
}

ProfilePoint ProfileStore::at(int index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {buffer_->X[index], buffer_->Z[index]};
}

bool ProfileStore::append(const ProfilePoint* points, int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (n < 0 || profileCount_ + n > kMaxProfilePoints)
        return false;
    for (int i = 0; i < n; ++i) {
        buffer_->X[profileCount_ + i] = points[i].x;
        buffer_->Z[profileCount_ + i] = points[i].z;
    }
    profileCount_ = static_cast<uint16_t>(profileCount_ + n);
    version_ = newVersion();
    return true;
}

int ProfileStore::replace(const ProfilePoint* points, int n) {
    const int kept = std::clamp(n, 0, kMaxProfilePoints);
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < kept; ++i) {
        buffer_->X[i] = points[i].x;
        buffer_->Z[i] = points[i].z;
    }
    profileCount_ = static_cast<uint16_t>(kept);
    version_ = newVersion();
    return kept;
}

void ProfileStore::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    profileCount_ = 0;
    version_ = newVersion();
}

void ProfileStore::copySnapshot(ProfileSnapshot& out, int maxPoints) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const int n = std::clamp(int(profileCount_), 0, std::max(maxPoints, 0));
    if (out.stamp == version_ && out.count() == n)
        return;
    out.stamp = version_;
    out.x.resize(n);
    out.z.resize(n);
    if (n > 0) {
        std::memcpy(out.x.data(), buffer_->X, n * sizeof(int16_t));
        std::memcpy(out.z.data(), buffer_->Z, n * sizeof(uint16_t));
    }
}

std::vector<ProfilePoint> ProfileStore::points() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ProfilePoint> result(profileCount_);
    for (int i = 0; i < profileCount_; ++i)
        result[i] = {buffer_->X[i], buffer_->Z[i]};
    return result;
}
