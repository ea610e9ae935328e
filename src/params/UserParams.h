#pragma once

#include "state/Watchers.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <mutex>

// The scanner's user parameters. The memory image is exchanged byte for byte
// with clients (read/write params), so the layout is fixed: packed, little-endian.
#pragma pack(push, 1)
struct USER_PARAMS {
    uint16_t config_version_u16;
    uint8_t laser_level_u8;
    uint16_t exposure_time_u16;
    uint16_t wnd_top_u8;     // 16 bits despite the name
    uint16_t wnd_height_u8;  // 16 bits despite the name
    uint16_t ext_sync_signal_u16;
    uint16_t ext_sync_divider_u16;
    uint8_t tcp_ip_address_u8[4];   // +3 holds the first number of the dotted text
    uint8_t tcp_subnet_mask_u8[4];
    uint8_t udp_ip_address_u8[4];
    uint16_t udp_port_u16;
    uint16_t udp_frequency_u16;
    uint16_t tcp_port_u16;
    uint8_t auto_exposure_u8;
    uint8_t pixel_brightness_thres_u8;
    uint8_t dif_brightness_thres_u8;
    uint8_t raw_image_u8;
    uint8_t interpolation_u8;
    uint8_t dhs_enable_u8;
    uint8_t analog_enable_u8;
    uint16_t syncChannels;
    uint8_t measureSync;
    uint16_t delaySync;
    uint8_t divSync;
    uint16_t keepTCPTime;
    uint8_t keepTCP;
    uint8_t filter;
    uint8_t smooth;
    uint16_t filterParam;
    uint16_t smoothParam;
    uint8_t ap;
    uint8_t ah;
    uint8_t wUDP;
    uint8_t wAVE;
    uint8_t dropCountersExt;
    uint8_t dropCountersInt;
    uint8_t invertXZ;
    uint8_t localSAPEnabled;
    uint16_t SDMode;
    uint16_t SDStepMode;
    uint16_t SDChannels;
    uint8_t reserved[445];
};
#pragma pack(pop)

static_assert(sizeof(USER_PARAMS) == 512, "USER_PARAMS is a 512-byte wire image");
static_assert(offsetof(USER_PARAMS, laser_level_u8) == 2, "layout");
static_assert(offsetof(USER_PARAMS, exposure_time_u16) == 3, "layout");
static_assert(offsetof(USER_PARAMS, wnd_top_u8) == 5, "layout");
static_assert(offsetof(USER_PARAMS, wnd_height_u8) == 7, "layout");
static_assert(offsetof(USER_PARAMS, ext_sync_signal_u16) == 9, "layout");
static_assert(offsetof(USER_PARAMS, ext_sync_divider_u16) == 11, "layout");
static_assert(offsetof(USER_PARAMS, tcp_ip_address_u8) == 13, "layout");
static_assert(offsetof(USER_PARAMS, tcp_subnet_mask_u8) == 17, "layout");
static_assert(offsetof(USER_PARAMS, udp_ip_address_u8) == 21, "layout");
static_assert(offsetof(USER_PARAMS, udp_port_u16) == 25, "layout");
static_assert(offsetof(USER_PARAMS, udp_frequency_u16) == 27, "layout");
static_assert(offsetof(USER_PARAMS, tcp_port_u16) == 29, "layout");
static_assert(offsetof(USER_PARAMS, auto_exposure_u8) == 31, "layout");
static_assert(offsetof(USER_PARAMS, pixel_brightness_thres_u8) == 32, "layout");
static_assert(offsetof(USER_PARAMS, dif_brightness_thres_u8) == 33, "layout");
static_assert(offsetof(USER_PARAMS, raw_image_u8) == 34, "layout");
static_assert(offsetof(USER_PARAMS, interpolation_u8) == 35, "layout");
static_assert(offsetof(USER_PARAMS, dhs_enable_u8) == 36, "layout");
static_assert(offsetof(USER_PARAMS, analog_enable_u8) == 37, "layout");
static_assert(offsetof(USER_PARAMS, syncChannels) == 38, "layout");
static_assert(offsetof(USER_PARAMS, measureSync) == 40, "layout");
static_assert(offsetof(USER_PARAMS, delaySync) == 41, "layout");
static_assert(offsetof(USER_PARAMS, divSync) == 43, "layout");
static_assert(offsetof(USER_PARAMS, keepTCPTime) == 44, "layout");
static_assert(offsetof(USER_PARAMS, keepTCP) == 46, "layout");
static_assert(offsetof(USER_PARAMS, filter) == 47, "layout");
static_assert(offsetof(USER_PARAMS, smooth) == 48, "layout");
static_assert(offsetof(USER_PARAMS, filterParam) == 49, "layout");
static_assert(offsetof(USER_PARAMS, smoothParam) == 51, "layout");
static_assert(offsetof(USER_PARAMS, ap) == 53, "layout");
static_assert(offsetof(USER_PARAMS, ah) == 54, "layout");
static_assert(offsetof(USER_PARAMS, wUDP) == 55, "layout");
static_assert(offsetof(USER_PARAMS, wAVE) == 56, "layout");
static_assert(offsetof(USER_PARAMS, dropCountersExt) == 57, "layout");
static_assert(offsetof(USER_PARAMS, dropCountersInt) == 58, "layout");
static_assert(offsetof(USER_PARAMS, invertXZ) == 59, "layout");
static_assert(offsetof(USER_PARAMS, localSAPEnabled) == 60, "layout");
static_assert(offsetof(USER_PARAMS, SDMode) == 61, "layout");
static_assert(offsetof(USER_PARAMS, SDStepMode) == 63, "layout");
static_assert(offsetof(USER_PARAMS, SDChannels) == 65, "layout");
static_assert(offsetof(USER_PARAMS, reserved) == 67, "layout");

// The record's memory image is its wire image only on a little-endian host.
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "USER_PARAMS is exchanged as raw little-endian memory");

constexpr int kUserParamsSize = sizeof(USER_PARAMS);

// Address fields hold the dotted text reversed: +3 is the first number.
QString ipv4FieldToText(const uint8_t field[4]);
// Parts that are missing or not numbers give 0; each part keeps its low 8 bits.
void ipv4TextToField(const QString& text, uint8_t field[4]);
// The field as one 32-bit number, first dotted number in the high byte.
uint32_t ipv4FieldToNumber(const uint8_t field[4]);

// The one shared record. Readers take a whole copy; writers change it under
// the lock, so nobody ever sees a half-written record. Whoever acts on the
// record watches it instead of polling: each write calls the watchers.
class UserParamsStore {
public:
    UserParamsStore();

    USER_PARAMS snapshot() const;
    void replace(const USER_PARAMS& params);

    // Runs `change` on the record while holding the lock.
    template <typename Change>
    void update(Change&& change) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            change(params_);
        }
        watchers_.notify();
    }

    // `watcher` runs after each write (see Watchers).
    int watch(std::function<void()> watcher) { return watchers_.add(std::move(watcher)); }
    void unwatch(int id) { watchers_.remove(id); }
    uint64_t revision() const { return watchers_.revision(); }

    // Runs `reader` on the record while holding the lock and returns its result.
    template <typename Reader>
    auto read(Reader&& reader) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reader(static_cast<const USER_PARAMS&>(params_));
    }

private:
    mutable std::mutex mutex_;
    USER_PARAMS params_;
    Watchers watchers_;
};
