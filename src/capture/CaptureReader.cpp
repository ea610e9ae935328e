#include "capture/CaptureReader.h"

#include "profile/RegularFile.h"
#include "udp/ProfilePacketDecoder.h"

#include <QLoggingCategory>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <tuple>
#include <unistd.h>
#include <pcap/pcap.h>
#include <tins/exceptions.h>
#include <tins/ip.h>
#include <tins/ip_reassembler.h>
#include <tins/rawpdu.h>
#include <tins/udp.h>

Q_LOGGING_CATEGORY(lcCapture, "px310.capture", QtWarningMsg)

namespace {

// Fragments of datagrams not yet complete are held up to this much memory and
// this many datagrams; a capture that leaves more open (lost fragments, a
// hostile file) has them dropped.
constexpr long long kMaxPendingFragmentBytes = 8 * 1024 * 1024;
constexpr size_t kMaxPendingDatagrams = 1024;
// What the reassembler keeps beside a fragment's payload: the fragment's entry,
// the allocator's share, and for the first fragment of a datagram its stream
// with a copy of that fragment (counted for every fragment, to be safe).
constexpr long long kFragmentBookkeeping = 2 * sizeof(Tins::Internals::IPv4Fragment) + 32;
constexpr long long kDatagramBookkeeping = sizeof(Tins::Internals::IPv4Stream) + 128;

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeVlan = 0x8100;
constexpr uint32_t kBsdAfInet = 2;

uint16_t bigEndian16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

struct Span {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// The IPv4 packet inside one link-layer frame, or an empty span.
Span ipv4Payload(int linkType, const uint8_t* frame, size_t size) {
    auto after = [&](size_t header, bool isIpv4) { return isIpv4 && size > header ? Span{frame + header, size - header} : Span{}; };
    switch (linkType) {
    case DLT_NULL:  // address family in the writer's byte order
        return size >= 4 ? after(4, (frame[0] == kBsdAfInet && frame[3] == 0) || (frame[3] == kBsdAfInet && frame[0] == 0))
                         : Span{};
    case DLT_LOOP:
        return size >= 4 ? after(4, frame[3] == kBsdAfInet && frame[0] == 0) : Span{};
    case DLT_EN10MB: {
        if (size < 14)
            return {};
        const uint16_t type = bigEndian16(frame + 12);
        if (type == kEtherTypeVlan)
            return size >= 18 ? after(18, bigEndian16(frame + 16) == kEtherTypeIpv4) : Span{};
        return after(14, type == kEtherTypeIpv4);
    }
    case DLT_LINUX_SLL:
        return size >= 16 ? after(16, bigEndian16(frame + 14) == kEtherTypeIpv4) : Span{};
    case DLT_LINUX_SLL2:
        return size >= 20 ? after(20, bigEndian16(frame) == kEtherTypeIpv4) : Span{};
    case DLT_RAW:
    case DLT_IPV4:
        return size > 0 && (frame[0] >> 4) == 4 ? Span{frame, size} : Span{};
    default:
        return {};
    }
}

bool knownLinkType(int linkType) {
    for (int known : {DLT_NULL, DLT_LOOP, DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_IPV4})
        if (linkType == known)
            return true;
    return false;
}

}  // namespace

struct CaptureReader::State {
    pcap_t* pcap = nullptr;
    FILE* file = nullptr;  // owned by pcap once opened
    int linkType = -1;
    CaptureFilter filter;
    Tins::IPv4Reassembler reassembler;
    // Mirrors the reassembler's open datagrams: by identification and address pair.
    using DatagramKey = std::tuple<uint16_t, uint32_t, uint32_t>;
    struct Pending {
        long long fragments = 0;
        long long bytes = 0;
    };
    std::map<DatagramKey, Pending> pending;
    long long pendingBytes = 0;
    const std::atomic<bool>* stop = nullptr;
    CaptureCounts counts;
    MaybeFailure failure;

    ~State() { close(); }

    void close() {
        if (pcap)
            pcap_close(pcap);  // closes the file too
        else if (file)
            std::fclose(file);
        pcap = nullptr;
        file = nullptr;
    }

    bool startFile(CaptureFilter f) {
        char pcapError[PCAP_ERRBUF_SIZE] = {};
        pcap_t* opened = pcap_fopen_offline(file, pcapError);
        if (!opened)
            close();
        return start(opened, pcapError, f);
    }

    bool start(pcap_t* opened, const char* pcapError, CaptureFilter f) {
        filter = f;
        dropPendingFragments();
        counts = {};
        pcap = opened;
        if (!pcap) {
            failure = inputFailure(QString::fromLocal8Bit(pcapError));
            return false;
        }
        linkType = pcap_datalink(pcap);
        if (!knownLinkType(linkType)) {
            failure = inputFailure(QStringLiteral("link type %1 (%2) carries no IPv4 this reader knows")
                                       .arg(linkType)
                                       .arg(QString::fromLatin1(pcap_datalink_val_to_name(linkType))));
            close();
            return false;
        }
        failure.reset();
        return true;
    }

    // Feeds one record; true with `out` set when it completes a profile packet.
    bool take(const pcap_pkthdr& header, const uint8_t* frame, CapturedProfile& out) {
        ++counts.records;
        const Span ip = header.caplen < header.len ? Span{} : ipv4Payload(linkType, frame, header.caplen);
        if (!ip.data) {
            ++counts.skippedRecords;
            return false;
        }
        try {
            Tins::IP packet(ip.data, uint32_t(ip.size));
            if (!reassemble(packet))
                return false;
            return takeDatagram(packet, header, out);
        } catch (const Tins::exception_base&) {
            ++counts.badPackets;
            return false;
        }
    }

    // False while the packet is a fragment of a datagram not yet complete.
    bool reassemble(Tins::IP& packet) {
        const long long payload = static_cast<long long>(packet.size()) - packet.header_size();
        const DatagramKey key = keyOf(packet);
        switch (reassembler.process(packet)) {
        case Tins::IPv4Reassembler::FRAGMENTED:
            holdFragment(key, payload);
            return false;
        case Tins::IPv4Reassembler::REASSEMBLED:
            forget(key);
            return true;
        default:
            return true;
        }
    }

    static DatagramKey keyOf(const Tins::IP& packet) {
        const auto a = uint32_t(packet.src_addr()), b = uint32_t(packet.dst_addr());
        return {packet.id(), std::min(a, b), std::max(a, b)};
    }

    void holdFragment(const DatagramKey& key, long long payload) {
        const auto [entry, added] = pending.try_emplace(key);
        const long long cost = 2 * payload + kFragmentBookkeeping + (added ? kDatagramBookkeeping : 0);
        ++entry->second.fragments;
        entry->second.bytes += cost;
        pendingBytes += cost;
        if (pendingBytes > kMaxPendingFragmentBytes || pending.size() > kMaxPendingDatagrams)
            dropPendingFragments();
    }

    void forget(const DatagramKey& key) {
        const auto entry = pending.find(key);
        if (entry == pending.end())
            return;
        pendingBytes -= entry->second.bytes;
        pending.erase(entry);
    }

    void dropPendingFragments() {
        for (const auto& [key, datagram] : pending)
            counts.droppedFragments += datagram.fragments;
        pending.clear();
        pendingBytes = 0;
        reassembler.clear_streams();
    }

    bool takeDatagram(const Tins::IP& packet, const pcap_pkthdr& header, CapturedProfile& out) {
        const auto* udp = packet.find_pdu<Tins::UDP>();
        const auto* raw = udp ? udp->find_pdu<Tins::RawPDU>() : nullptr;
        if (!raw || !matches(packet, *udp)) {
            ++counts.otherDatagrams;
            return false;
        }
        const Tins::RawPDU::payload_type& bytes = raw->payload();
        const PacketDecode decoded =
            decodeProfilePacket(QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())));
        if (!decoded.ok()) {
            ++counts.otherDatagrams;
            return false;
        }
        out.points.x = decoded.packet.x;
        out.points.z = decoded.packet.z;
        out.seconds = header.ts.tv_sec;
        out.microseconds = int32_t(header.ts.tv_usec);
        ++counts.profiles;
        return true;
    }

    bool matches(const Tins::IP& packet, const Tins::UDP& udp) const {
        const uint32_t source = Tins::IPv4Address(packet.src_addr()).operator uint32_t();
        return (filter.sourceAddress == 0 || Tins::Endian::be_to_host(source) == filter.sourceAddress) &&
               (filter.destinationPort == 0 || udp.dport() == filter.destinationPort);
    }
};

CaptureReader::CaptureReader() : state_(std::make_unique<State>()) {}
CaptureReader::~CaptureReader() = default;

bool CaptureReader::open(const QString& path, CaptureFilter filter) {
    state_->close();
    const Outcome<int> fd = openRegularFile(path);
    if (!fd.ok()) {
        state_->failure = fd.failure();
        return false;
    }
    state_->file = fdopen(*fd, "rb");
    if (!state_->file) {
        state_->failure = systemFailure(errno, QStringLiteral("cannot open %1").arg(path));
        ::close(*fd);
        return false;
    }
    const bool ok = state_->startFile(filter);
    if (!ok)
        state_->failure->message = QStringLiteral("cannot read %1 as a capture: %2").arg(path, state_->failure->message);
    return ok;
}

bool CaptureReader::openMemory(const void* bytes, size_t size, CaptureFilter filter) {
    state_->close();
    state_->file = size > 0 ? fmemopen(const_cast<void*>(bytes), size, "rb") : nullptr;
    if (!state_->file) {
        state_->failure = inputFailure(QStringLiteral("empty capture"));
        return false;
    }
    return state_->startFile(filter);
}

void CaptureReader::setStopFlag(const std::atomic<bool>* stop) { state_->stop = stop; }

bool CaptureReader::next(CapturedProfile& out) {
    if (!state_->pcap)
        return false;
    while (!(state_->stop && state_->stop->load(std::memory_order_relaxed))) {
        pcap_pkthdr* header = nullptr;
        const uint8_t* frame = nullptr;
        const int status = pcap_next_ex(state_->pcap, &header, &frame);
        if (status == 1) {
            if (state_->take(*header, frame, out))
                return true;
            continue;
        }
        if (status == PCAP_ERROR)
            state_->failure = inputFailure(QStringLiteral("record %1 cannot be read: %2")
                                               .arg(state_->counts.records + 1)
                                               .arg(QString::fromLocal8Bit(pcap_geterr(state_->pcap))));
        state_->dropPendingFragments();
        state_->close();
        qCDebug(lcCapture).noquote() << summary();
        return false;
    }
    return false;
}

const MaybeFailure& CaptureReader::failure() const { return state_->failure; }

const CaptureCounts& CaptureReader::counts() const { return state_->counts; }

QString CaptureReader::summary() const {
    const CaptureCounts& c = state_->counts;
    QString text = QStringLiteral("%1 records, %2 profile packets; skipped %3 records that are no IPv4 or cut short, "
                                  "%4 unreadable IPv4/UDP packets, %5 fragments of incomplete datagrams, %6 other datagrams")
                       .arg(c.records)
                       .arg(c.profiles)
                       .arg(c.skippedRecords)
                       .arg(c.badPackets)
                       .arg(c.droppedFragments)
                       .arg(c.otherDatagrams);
    if (state_->failure)
        text += QStringLiteral("; ") + state_->failure->message;
    return text;
}
