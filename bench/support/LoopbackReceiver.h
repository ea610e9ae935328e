#pragma once

#include "LoopbackSockets.h"
#include "udp/HelloPacket.h"

#include <QFile>
#include <QString>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
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
class LoopbackReceiver {
public:
    struct Arrival {
        double at;  // s, kernel time stamp
        uint16_t counter;
    };

    explicit LoopbackReceiver(bool recording = true) : recording_(recording) {
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
    void receive() {
        tid_ = pid_t(syscall(SYS_gettid));
        pthread_getcpuclockid(pthread_self(), &clock_);
        started_ = true;
        std::vector<char> buffer(65536);
        char control[256];
        while (!stop_) {
            sockaddr_in from{};
            iovec io{buffer.data(), buffer.size()};
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(fd_, &message, 0);
            if (n <= kHelloPacketSize || !recording_)  // profile datagrams only
                continue;
            double at = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts{};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    at = ts.tv_sec + ts.tv_nsec * 1e-9;
                }
            const uint16_t counter = uint16_t(uint8_t(buffer[2]) | uint8_t(buffer[3]) << 8);
            ++datagrams_;
            std::lock_guard<std::mutex> lock(mutex_);
            arrivals_[ntohl(from.sin_addr.s_addr)].push_back({at, counter});
        }
    }

    int fd_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> recording_;
    std::atomic<uint64_t> datagrams_{0};
    pid_t tid_ = 0;
    clockid_t clock_{};
    std::mutex mutex_;
    std::map<uint32_t, std::vector<Arrival>> arrivals_;
    std::thread thread_;
};
