#pragma once

#include "params/UserParams.h"
#include "params/UserParamsIni.h"
#include "udp/Destinations.h"

#include <QString>
#include <QtGlobal>
#include <vector>

// What one scanner runs with beside its record. The defaults are the
// window's panel as the form builds it; the headless program starts from the
// same values, and the shipped parameter file holds them too.
struct ScannerSettings {
    // The command server's address, also announced in the hello packet.
    QString localAddress = QStringLiteral("127.0.0.1");
    // Whether hello and stream leave from localAddress rather than from any
    // address, so that clients tell the scanners of one host apart. They
    // always do when either goes anywhere but 127.0.0.1.
    bool sendFromLocalAddress = false;
    StreamTarget streamTo;
    std::vector<Ipv4Net> streamAllow;  // what a client may aim the stream at beyond the machine's networks
    HelloTarget helloTo;
    quint16 helloPort = 6001;
    int macOffset = 0;  // added to the host's MAC, to tell scanners of one host apart
    int xemr = 70;
    int zdiap = 170;
    int serial = 123;
    int xsmr = 1;
    int zbase = 1;
    int noise = 0;
    int pointCountIndex = kDefaultPointCountIndex;
    bool stepdirForward = true;

    PanelExtras extras() const { return PanelExtras{serial, xsmr, zbase}; }
    // The address hello and stream leave from: localAddress, or any (0).
    uint32_t sendingAddress() const;
    bool sendsFromLocalAddress() const {
        return sendFromLocalAddress || streamTo.kind != StreamTarget::Kind::Loopback ||
               helloTo.kind != HelloTarget::Kind::Loopback;
    }
};

// What a profile packet's trailer and noise take from the settings.
struct TrailerSettings {
    uint16_t xemr = 0;
    uint16_t zdiap = 0;
    int noise = 0;
    bool stepdirForward = false;
};

// The record a scanner starts with when there is no parameter file: it
// streams at once to 127.0.0.1:6003 at 249 Hz and serves commands on port 620.
USER_PARAMS defaultUserParams();
