#pragma once

#include <QByteArray>
#include <cstddef>
#include <cstdint>

// The fixed header in front of every request a client sends; its memory image
// is the wire image (packed, little-endian).
#pragma pack(push, 1)
struct REQUEST_HEADER {
    uint32_t command;
    uint32_t payload_size;  // payload bytes that follow the header
    uint32_t offset;        // picture chunk only
    uint32_t length;        // picture chunk only
};
#pragma pack(pop)

static_assert(sizeof(REQUEST_HEADER) == 16, "REQUEST_HEADER is a 16-byte wire image");
static_assert(offsetof(REQUEST_HEADER, payload_size) == 4, "layout");
static_assert(offsetof(REQUEST_HEADER, offset) == 8, "layout");
static_assert(offsetof(REQUEST_HEADER, length) == 12, "layout");
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "REQUEST_HEADER is exchanged as raw little-endian memory");

constexpr int kRequestHeaderSize = sizeof(REQUEST_HEADER);

// No command that uses its payload takes more; a larger one announced for
// such a command means the stream cannot be framed any more.
constexpr uint32_t kMaxRequestPayload = 64 * 1024;

// A request as a client puts it on the wire: header, then the payload, whose
// size goes into payload_size.
QByteArray encodeRequest(uint32_t command, const QByteArray& payload = {}, uint32_t offset = 0, uint32_t length = 0);
