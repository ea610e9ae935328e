#pragma once

#include "capture/CaptureReader.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

using Frames = std::vector<std::vector<uint8_t>>;

// A profile packet of serial 123, XEMR 160 and ZDIAP 175, whose packet counter and first X value are
// `number`, so order shows after a round trip.
QByteArray profileDatagram(int number, int points);

// IPv4 packets of one UDP datagram from 127.0.0.2 to 127.0.0.1, cut into fragments
// of at most `fragmentPayload` bytes (a multiple of 8) when it does not fit one.
Frames ipv4Packets(const QByteArray& payload, uint16_t destinationPort = 6003, size_t fragmentPayload = 65535,
                   uint16_t identification = 1);

// A pcap file of one link type; each frame is `linkHeader` followed by the packet.
void writeCapture(const QString& path, int linkType, const std::vector<uint8_t>& linkHeader, const Frames& packets);
