#include "tcp/Replies.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<uint16_t, kExtentsSize / 2> kExtents = {0,    3200,  13500, 1200,  2500, 24000, 13500, 1250,
                                                             25500, 1800, 13500, 40,    40,   40,    40};

}  // namespace

QByteArray paramsImage(const USER_PARAMS& params) {
    return QByteArray(reinterpret_cast<const char*>(&params), kUserParamsSize);
}

QByteArray factoryParamsImage(const DeviceIdentity& hello) {
    const FactoryImage image = hello.factoryImage();
    return QByteArray(reinterpret_cast<const char*>(image.data()), kFactoryImageSize);
}

QByteArray extentsBlock() {
    QByteArray block(kExtentsSize, '\0');
    for (size_t i = 0; i < kExtents.size(); ++i) {
        block[int(2 * i)] = static_cast<char>(kExtents[i] & 0xFF);
        block[int(2 * i + 1)] = static_cast<char>(kExtents[i] >> 8);
    }
    return block;
}

QByteArray pictureChunk(const CameraPicture* picture, uint8_t imageCounter, uint8_t chunkCounter, uint32_t offset,
                        uint32_t length) {
    const uint32_t size = picture ? static_cast<uint32_t>(picture->size()) : 0;
    const uint32_t available = offset < size ? std::min(length, size - offset) : 0;
    QByteArray chunk;
    chunk.reserve(kPictureChunkHeaderSize + static_cast<int>(available));
    chunk.append(static_cast<char>(imageCounter));
    chunk.append(static_cast<char>(chunkCounter));
    if (available > 0)
        chunk.append(reinterpret_cast<const char*>(picture->data() + offset), static_cast<int>(available));
    return chunk;
}

void buildResultPacket(const ProfileFeed& profile, const PacketFields& fields, uint8_t invertXZ, int noise,
                       ProfileSnapshot& scratch, QByteArray& out) {
    profile.copyProfile(fields.measurementCounter, scratch, kMaxPacketPoints);
    if (invertXZ != 0 || noise > 0)
        transformProfile(scratch, invertXZ, resultNoise(noise));
    encodeProfilePacket(scratch, fields, out);
}
