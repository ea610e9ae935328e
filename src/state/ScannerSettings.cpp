#include "state/ScannerSettings.h"

#include <QHostAddress>

USER_PARAMS defaultUserParams() {
    USER_PARAMS p{};
    p.udp_port_u16 = 6003;
    p.udp_frequency_u16 = 249;  // the panel's Base rate with DHS off
    p.tcp_port_u16 = 620;
    p.wUDP = 1;
    p.interpolation_u8 = kDefaultPointCountIndex;
    ipv4TextToField(ScannerSettings{}.localAddress, p.tcp_ip_address_u8);
    ipv4TextToField(QStringLiteral("255.255.255.0"), p.tcp_subnet_mask_u8);
    ipv4TextToField(QStringLiteral("255.255.255.255"), p.udp_ip_address_u8);
    return p;
}

uint32_t ScannerSettings::sendingAddress() const {
    return sendsFromLocalAddress() ? QHostAddress(localAddress).toIPv4Address() : 0;
}
