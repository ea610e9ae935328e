#pragma once

#include "params/UserParams.h"
#include "profile/CameraPicture.h"
#include "profile/ProfileSource.h"
#include "state/DeviceIdentity.h"
#include "udp/ProfilePacket.h"

#include <QByteArray>
#include <cstdint>

constexpr int kExtentsSize = 30;
constexpr int kPictureChunkHeaderSize = 2;

// The record's 512 bytes as they are.
QByteArray paramsImage(const USER_PARAMS& params);

// The factory parameters block followed by the template's tail, 1024 bytes.
QByteArray factoryParamsImage(const DeviceIdentity& hello);

// The fixed extents block.
QByteArray extentsBlock();

// The two counters, then the picture bytes from `offset` on, at most
// `length` of them and none past the picture's end (no picture: none at all).
QByteArray pictureChunk(const CameraPicture* picture, uint8_t imageCounter, uint8_t chunkCounter, uint32_t offset,
                        uint32_t length);

// One result: at most kMaxPacketPoints points of the frame of the packet's measurement, inverted and
// given result noise (0 .. noise - 1 per coordinate) on the private `scratch`.
void buildResultPacket(const ProfileFeed& profile, const PacketFields& fields, uint8_t invertXZ, int noise,
                       ProfileSnapshot& scratch, QByteArray& out);
