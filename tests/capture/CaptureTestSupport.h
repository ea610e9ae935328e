#pragma once

#include "profile/ProfileStore.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

// A profile whose first X value names it, so order shows after a round trip.
ProfileSnapshot numberedProfile(int number, int points);
// The profile packet that carries it.
QByteArray profileDatagram(const ProfileSnapshot& profile);

// IPv4 packets of one UDP datagram, cut into fragments of at most
// `fragmentPayload` bytes (a multiple of 8) when it does not fit one.
std::vector<std::vector<uint8_t>> ipv4Packets(const QByteArray& payload, const char* source, uint16_t destinationPort,
                                              uint16_t id, size_t fragmentPayload = 65535);

// A pcap file of one link type; each frame is `linkHeader` followed by the packet.
void writeCapture(const QString& path, int linkType, const std::vector<uint8_t>& linkHeader,
                  const std::vector<std::vector<uint8_t>>& packets);

// Every profile CaptureReader finds in the file.
std::vector<ProfileSnapshot> capturedProfiles(const QString& path);
