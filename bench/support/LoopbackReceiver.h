#pragma once

#include "LoopbackSockets.h"
#include "udp/HelloPacket.h"

#include <QFile>
#include <QString>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// What one thread has used so far, read from any thread.
struct ThreadUse {
    double cpu = 0;
    long switches = 0;
};

inline ThreadUse useOf(pid_t tid, clockid_t clock) {
    ThreadUse use;
    timespec ts{};
    clock_gettime(clock, &ts);
    use.cpu = ts.tv_sec + ts.tv_nsec * 1e-9;
    QFile status(QStringLiteral("/proc/self/task/%1/status").arg(tid));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.contains("ctxt_switches:"))
                use.switches += line.split(':').last().trimmed().toLong();
    return use;
}

// Kernel arrival times and packet counters of profile datagrams per source
// address, taken on a thread of its own whose use a benchmark can leave out.
// The thread waits for each datagram, or (given `pollEvery`) takes what
// arrived every so often, so that no sender pays for waking it: the time
// stamps are the kernel's either way.
class LoopbackReceiver {
public:
    struct Arrival {
        double at;  // s, kernel time stamp
        uint16_t counter;
    };

    explicit LoopbackReceiver(bool recording = true, std::chrono::microseconds pollEvery = {})
        : recording_(recording), pollEvery_(pollEvery) {
        fd_ = openLoopbackReceiver(64 << 20, port_);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        thread_ = std::thread([this] { receive(); });
        while (!started_)
            std::this_thread::yield();
    }
    ~LoopbackReceiver() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }
    ThreadUse use() const { return useOf(tid_, clock_); }
    void record(bool on) { recording_ = on; }
    std::map<uint32_t, std::vector<Arrival>> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(arrivals_);
    }
    uint64_t datagrams() const { return datagrams_; }

private:
    static constexpr unsigned kBatch = 64;
    static constexpr size_t kDatagramBytes = 65536;

    void receive() {
        tid_ = pid_t(syscall(SYS_gettid));
        pthread_getcpuclockid(pthread_self(), &clock_);
        started_ = true;
        std::vector<char> buffers(kBatch * kDatagramBytes);
        std::vector<std::array<char, 256>> controls(kBatch);
        std::vector<sockaddr_in> from(kBatch);
        std::vector<iovec> io(kBatch);
        std::vector<mmsghdr> messages(kBatch);
        const int flags = pollEvery_.count() > 0 ? MSG_DONTWAIT : MSG_WAITFORONE;
        while (!stop_) {
            for (unsigned i = 0; i < kBatch; ++i) {
                io[i] = {buffers.data() + i * kDatagramBytes, kDatagramBytes};
                msghdr& message = messages[i].msg_hdr;
                message = {};
                message.msg_name = &from[i];
                message.msg_namelen = sizeof from[i];
                message.msg_iov = &io[i];
                message.msg_iovlen = 1;
                message.msg_control = controls[i].data();
                message.msg_controllen = controls[i].size();
            }
            const int n = recvmmsg(fd_, messages.data(), kBatch, flags, nullptr);
            for (int i = 0; i < n; ++i)
                take(messages[size_t(i)], from[size_t(i)]);
            if (pollEvery_.count() > 0 && n < int(kBatch))
                std::this_thread::sleep_for(pollEvery_);
        }
    }

    void take(mmsghdr& received, const sockaddr_in& from) {
        if (received.msg_len <= kHelloPacketSize || !recording_)  // profile datagrams only
            return;
        msghdr& message = received.msg_hdr;
        double at = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                at = ts.tv_sec + ts.tv_nsec * 1e-9;
            }
        const auto* bytes = static_cast<const uint8_t*>(message.msg_iov->iov_base);
        const uint16_t counter = uint16_t(bytes[2] | bytes[3] << 8);
        ++datagrams_;
        std::lock_guard<std::mutex> lock(mutex_);
        arrivals_[ntohl(from.sin_addr.s_addr)].push_back({at, counter});
    }

    int fd_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> recording_;
    const std::chrono::microseconds pollEvery_;
    std::atomic<uint64_t> datagrams_{0};
    pid_t tid_ = 0;
    clockid_t clock_{};
    std::mutex mutex_;
    std::map<uint32_t, std::vector<Arrival>> arrivals_;
    std::thread thread_;
};
