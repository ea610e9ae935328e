#pragma once

#include "params/UserParams.h"
#include "tcp/RequestFramer.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

// What a client sent, as a mock server keeps it for a test to verify.
struct JournalEntry {
    qint64 timeMs = 0;  // when it was served, since the epoch
    QString client;     // "ADDR:PORT"
    REQUEST_HEADER header{};
    QString digest;        // of the payload kept (16 hex digits of its SHA-256); empty without one
    QStringList changed;   // a write-params': "field: old -> new", in record order
};

// The last requests one scanner's command server served, oldest first. A
// full journal forgets its oldest entry for each new one, and counts it.
// Thread-safe: the server records, front ends read.
class RequestJournal {
public:
    static constexpr size_t kDefaultCapacity = 1000;

    explicit RequestJournal(size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

    void record(JournalEntry entry);
    std::vector<JournalEntry> entries() const;
    uint64_t forgotten() const;

private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<JournalEntry> entries_;
    uint64_t forgotten_ = 0;
};

// The entry for `request` from `client`, before it is served; a write-params
// that will be taken lists the fields it changes in `current`.
JournalEntry journalEntry(const Request& request, const QString& client, const UserParamsStore& current);

// The named fields that differ, "field: old -> new", in record order.
QStringList changedFields(const USER_PARAMS& before, const USER_PARAMS& after);
