#pragma once

#include "log/Failure.h"
#include "params/UserParams.h"

#include <QString>
#include <cstddef>
#include <cstdint>

// The record's named fields by name, in record order: the INI keys and the
// names a client tool shows and accepts.

enum class FieldKind { Integer, Address };

struct UserParamsField {
    const char* name;
    std::size_t offset;
    std::size_t width;
    FieldKind kind;
};

#define PX310_FIELD(name, kind) UserParamsField{#name, offsetof(USER_PARAMS, name), sizeof(USER_PARAMS::name), kind}
#define PX310_INT(name) PX310_FIELD(name, FieldKind::Integer)
#define PX310_ADDRESS(name) PX310_FIELD(name, FieldKind::Address)
inline constexpr UserParamsField kUserParamsFields[] = {
    PX310_INT(config_version_u16),
    PX310_INT(laser_level_u8),
    PX310_INT(exposure_time_u16),
    PX310_INT(wnd_top_u8),
    PX310_INT(wnd_height_u8),
    PX310_INT(ext_sync_signal_u16),
    PX310_INT(ext_sync_divider_u16),
    PX310_ADDRESS(tcp_ip_address_u8),
    PX310_ADDRESS(tcp_subnet_mask_u8),
    PX310_ADDRESS(udp_ip_address_u8),
    PX310_INT(udp_port_u16),
    PX310_INT(udp_frequency_u16),
    PX310_INT(tcp_port_u16),
    PX310_INT(auto_exposure_u8),
    PX310_INT(pixel_brightness_thres_u8),
    PX310_INT(dif_brightness_thres_u8),
    PX310_INT(raw_image_u8),
    PX310_INT(interpolation_u8),
    PX310_INT(dhs_enable_u8),
    PX310_INT(analog_enable_u8),
    PX310_INT(syncChannels),
    PX310_INT(measureSync),
    PX310_INT(delaySync),
    PX310_INT(divSync),
    PX310_INT(keepTCPTime),
    PX310_INT(keepTCP),
    PX310_INT(filter),
    PX310_INT(smooth),
    PX310_INT(filterParam),
    PX310_INT(smoothParam),
    PX310_INT(ap),
    PX310_INT(ah),
    PX310_INT(wUDP),
    PX310_INT(wAVE),
    PX310_INT(dropCountersExt),
    PX310_INT(dropCountersInt),
    PX310_INT(invertXZ),
    PX310_INT(localSAPEnabled),
    PX310_INT(SDMode),
    PX310_INT(SDStepMode),
    PX310_INT(SDChannels),
};
#undef PX310_ADDRESS
#undef PX310_INT
#undef PX310_FIELD

// The table must name every field before the reserved bytes, in record order,
// with widths that fit its kinds: a field added to the record and forgotten
// here stops the build.
constexpr bool fieldTableCoversNamedFieldsInOrder() {
    std::size_t next = 0;
    for (const UserParamsField& field : kUserParamsFields) {
        const bool widthFits =
            field.kind == FieldKind::Address ? field.width == 4 : (field.width == 1 || field.width == 2);
        if (field.offset != next || !widthFits)
            return false;
        next += field.width;
    }
    return next == offsetof(USER_PARAMS, reserved);
}
static_assert(fieldTableCoversNamedFieldsInOrder(), "the field table must match the record's named fields");

// The entry named exactly `name`, or nullptr.
const UserParamsField* findUserParamsField(const QString& name);

uint8_t* fieldBytes(USER_PARAMS& params, const UserParamsField& field);
const uint8_t* fieldBytes(const USER_PARAMS& params, const UserParamsField& field);

// Integer fields, little-endian byte by byte (fields may sit at odd offsets).
uint32_t readFieldInteger(const USER_PARAMS& params, const UserParamsField& field);
// Keeps the low bytes of `value` that the field holds.
void writeFieldInteger(USER_PARAMS& params, const UserParamsField& field, long long value);

// Decimal for integers, dotted text for addresses.
QString fieldValueText(const USER_PARAMS& params, const UserParamsField& field);

// Strict: an integer must be a decimal or 0x-hex number within the field's
// width, an address four dotted numbers of 0 to 255. On failure the record is
// untouched and the failure says why.
MaybeFailure setFieldFromText(USER_PARAMS& params, const UserParamsField& field, const QString& text);
