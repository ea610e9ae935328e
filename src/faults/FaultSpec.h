#pragma once

#include "log/Failure.h"

#include <QString>
#include <cstdint>
#include <vector>

// What faults a scanner injects, as one comma-separated text such as
//   loss=5%,burst=3,dup=1%,reorder=1%,corrupt=0.5%,delay=10ms,jitter=5ms,
//   reply-delay=50ms,drop-after=100,cut=2%,stall=20,hello=off
//
// Stream (one decision per datagram; the four chances below add up to 100% at most):
//   loss=P      a datagram starts a loss burst with chance P
//   burst=N     mean burst length in datagrams, up to 1000 (geometric: each datagram after
//               the first is lost too with chance 1 - 1/N); 1, the default, is independent loss
//   dup=P       a datagram is sent twice
//   reorder=P   a datagram is held back and sent right after the next one
//   corrupt=P   one byte of a datagram is changed, so its checksum fails
//   delay=D     every datagram leaves D later
//   jitter=D    the delay varies evenly within delay +- D, never reordering datagrams
// Command server:
//   reply-delay=D  every reply is written D late
//   drop-after=N   a connection is closed after its N-th request and its reply (N >= 1)
//   cut=P          a reply is cut short: a prefix of it is sent, then the connection closes
//   stall=N        after N requests the server reads nothing more from that connection
// Hello:
//   hello=off      no announcements (hello=on is the default)
//
// P is a percentage with a % sign and up to 4 decimals (0.5%); D is a duration in
// ms or s (50ms, 2s) up to 60 s; N a whole number. "none" is the empty fault list.
struct FaultSpec {
    static constexpr uint32_t kNever = UINT32_MAX;  // drop-after and stall unset
    static constexpr uint32_t kPpmPerCent = 10000;

    uint32_t lossPpm = 0;  // chances in parts per million
    uint32_t burst = 1;
    uint32_t duplicatePpm = 0;
    uint32_t reorderPpm = 0;
    uint32_t corruptPpm = 0;
    uint32_t delayMs = 0;
    uint32_t jitterMs = 0;
    uint32_t replyDelayMs = 0;
    uint32_t dropAfter = kNever;
    uint32_t cutPpm = 0;
    uint32_t stallAfter = kNever;
    bool helloOff = false;

    bool affectsStream() const {
        return lossPpm || duplicatePpm || reorderPpm || corruptPpm || delayMs || jitterMs;
    }
    bool affectsServer() const { return replyDelayMs || dropAfter != kNever || cutPpm || stallAfter != kNever; }
    bool isNone() const { return !affectsStream() && !affectsServer() && !helloOff; }
    bool operator==(const FaultSpec& other) const;
    bool operator!=(const FaultSpec& other) const { return !(*this == other); }
};

enum class FaultSpecError {
    None,
    Empty,           // no text at all
    UnknownKey,      // a key that is not one of the list above
    MissingValue,    // "loss" or "loss="
    BadPercentage,   // not 0% to 100% with a % sign
    BadDuration,     // not a whole number of ms or s up to 60 s
    BadCount,        // not a whole number in range
    BadSwitch,       // hello= neither on nor off
    Repeated,        // a key given twice
    Inconsistent,    // chances above 100% together, burst without loss
};

struct FaultSpecParse {
    FaultSpec spec;
    BasicFailure<FaultSpecError> failure;  // its message names the part that is wrong
    bool ok() const { return failure.code == FaultSpecError::None; }
};

FaultSpecParse parseFaultSpec(const QString& text);

// The canonical text: keys in the order above, defaults left out, "none" when
// nothing is set. Parsing it gives the same fault list back.
QString formatFaultSpec(const FaultSpec& spec);

// Each key as written with its value ("reply-delay=D") and what it does, in
// the order above: the help of the faults dialog.
struct FaultKeyHelp {
    QString key;
    QString meaning;
};
std::vector<FaultKeyHelp> faultKeyHelp();
