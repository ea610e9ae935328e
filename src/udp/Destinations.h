#pragma once

#include "log/Failure.h"
#include "state/Watchers.h"

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

// Where a scanner's datagrams go and what a client may aim its stream at.
// Addresses are IPv4 numbers in host order.

// 127.0.0.1, where stream and hello go unless told otherwise.
constexpr uint32_t kLoopbackAddress = 0x7F000001;

struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Endpoint& other) const { return address == other.address && port == other.port; }
};

struct Ipv4Net {
    uint32_t address = 0;
    uint32_t mask = 0;
    bool contains(uint32_t other) const { return (other & mask) == (address & mask); }
    bool operator==(const Ipv4Net& other) const { return address == other.address && mask == other.mask; }
};

// One IPv4 address of an interface that is up; broadcast 0 where it has none.
struct InterfaceNet {
    uint32_t address = 0;
    uint32_t mask = 0;
    uint32_t broadcast = 0;
};
std::vector<InterfaceNet> upInterfaceNets();

// The interfaces as asked at most once per kMaxAge, and again once the host
// said they changed. A stream judges each new address a client writes on the
// send thread all scanners share: a flood of writes must not have it ask the
// host every time. Whoever keeps a verdict judged on them watches changes()
// and judges again when the revision moved. Thread-safe.
class RecentInterfaceNets {
public:
    using Clock = std::chrono::steady_clock;
    using Ask = std::function<std::vector<InterfaceNet>()>;
    static constexpr std::chrono::milliseconds kMaxAge{1000};

    explicit RecentInterfaceNets(Ask ask = upInterfaceNets) : ask_(std::move(ask)) {}
    std::vector<InterfaceNet> at(Clock::time_point now);
    std::vector<InterfaceNet> now() { return at(Clock::now()); }

    // Asks the host again, then the watchers run.
    void changed();
    Watchers& changes() { return changes_; }
    uint64_t revision() const { return changes_.revision(); }

private:
    const Ask ask_;
    std::mutex mutex_;
    std::optional<Clock::time_point> askedAt_;
    std::vector<InterfaceNet> nets_;
    Watchers changes_;
};

// The process's, for what the streams and hellos judge.
RecentInterfaceNets& hostInterfaces();
inline std::vector<InterfaceNet> recentInterfaceNets() { return hostInterfaces().now(); }

// The stream: to 127.0.0.1 (as the scanner is emulated by default), to the
// record's udp_ip_address_u8 as a real scanner sends, or to a fixed address
// (port 0: the record's udp_port_u16).
struct StreamTarget {
    enum class Kind { Loopback, Record, Fixed };
    Kind kind = Kind::Loopback;
    Endpoint fixed;
    bool operator==(const StreamTarget& other) const { return kind == other.kind && fixed == other.fixed; }
};

// The hello: to 127.0.0.1, to the broadcast address of the scanner's
// interface (of every interface when it listens on 0.0.0.0), or to one address.
struct HelloTarget {
    enum class Kind { Loopback, Broadcast, Fixed };
    Kind kind = Kind::Loopback;
    uint32_t fixed = 0;
    bool operator==(const HelloTarget& other) const { return kind == other.kind && fixed == other.fixed; }
};

// "loopback", "record" or ADDR[:PORT]; else the failure says why.
Outcome<StreamTarget> parseStreamTarget(const QString& text);
// "loopback", "broadcast" or ADDR.
Outcome<HelloTarget> parseHelloTarget(const QString& text);
// CIDR[,CIDR...], each ADDR/BITS or a bare ADDR (one host).
Outcome<std::vector<Ipv4Net>> parseNetList(const QString& text);

// As the options write them.
QString streamTargetText(const StreamTarget& target);
QString helloTargetText(const HelloTarget& target);
QString endpointText(const Endpoint& endpoint);
QString netText(const Ipv4Net& net);

// Why a client may not aim the stream at `address`; empty when it may:
// loopback and the subnets of the machine's interfaces are taken, anything
// else only inside `allowed`, and a broadcast, multicast or unspecified
// address only when `allowed` names it.
QString refusalOf(uint32_t address, const std::vector<Ipv4Net>& allowed, const std::vector<InterfaceNet>& attached);

// One hello datagram per leg: sent from `source` to `destination`, naming
// `named` in its address field (0: the address the packet already holds).
struct HelloLeg {
    uint32_t source = 0;
    uint32_t destination = 0;
    uint32_t named = 0;
    bool operator==(const HelloLeg& other) const {
        return source == other.source && destination == other.destination && named == other.named;
    }
};

// The legs of `target` for a scanner on `scannerAddress` (0: every
// interface) whose datagrams leave from `source` (0: any address). A
// broadcast leaves from the interface's own address, and gives no leg where
// no interface has a broadcast address for the scanner's address.
std::vector<HelloLeg> helloLegs(const HelloTarget& target, uint32_t scannerAddress, uint32_t source,
                                const std::vector<InterfaceNet>& interfaces);
