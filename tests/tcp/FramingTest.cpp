#include "tcp/RequestFramer.h"
#include "tcp/RequestJournal.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <tuple>

namespace {

std::vector<Request> drain(RequestFramer& framer) {
    std::vector<Request> requests;
    Request request;
    while (framer.next(request))
        requests.push_back(request);
    return requests;
}

TEST(RequestFramer, HandsOutRequestsOnlyOnceWholeAndInOrder) {
    const QByteArray largest(int(kMaxRequestPayload), 'p');
    const QByteArray stream = encodeRequest(5, largest) + encodeRequest(3, {}, 1000, 1000);
    RequestFramer framer;
    std::vector<Request> requests;
    // Pieces of 5 bytes: requests end inside them, so a rest is kept each time.
    for (int fed = 5; fed < stream.size() + 5; fed += 5) {
        framer.feed(stream.mid(fed - 5, 5));
        for (const Request& r : drain(framer))
            requests.push_back(r);
        const int end = std::min(fed, int(stream.size()));
        ASSERT_EQ(requests.size(), size_t(end >= 16 + largest.size()) + size_t(end == stream.size())) << end;
    }
    EXPECT_EQ(requests[0].payload, largest);
    const QByteArray second(reinterpret_cast<const char*>(&requests[1].header), kRequestHeaderSize);
    EXPECT_EQ(std::pair(second, framer.pending()), std::pair(encodeRequest(3, {}, 1000, 1000), 0));
}

// An upload's payload, however large, is dropped as it comes and the
// connection goes on; a payload that is kept stays bounded.
TEST(RequestFramer, UnusedPayloadsOfAnySizeAreDroppedAndKeptOnesBeyond64KiBBreakTheStream) {
    RequestFramer framer;
    const QByteArray upload = encodeRequest(147, QByteArray(4 << 20, 'u')) + encodeRequest(4);
    std::vector<Request> requests;
    for (int at = 0; at < upload.size(); at += 32800) {
        framer.feed(upload.mid(at, 32800));
        ASSERT_LE(framer.pending(), 32800) << "nothing of the upload is held";
        for (const Request& r : drain(framer))
            requests.push_back(r);
        ASSERT_EQ(requests.size(), size_t(at + 32800 >= upload.size()) * 2) << at;
    }
    EXPECT_EQ(std::make_tuple(requests[0].header.payload_size, requests[0].payload, requests[1].header.command),
              std::make_tuple(4u << 20, QByteArray(), 4u));

    const REQUEST_HEADER header{5, kMaxRequestPayload + 1, 0, 0};
    framer.feed(reinterpret_cast<const char*>(&header), sizeof header);
    EXPECT_TRUE(drain(framer).empty() && framer.broken());
    framer.feed(encodeRequest(4));
    EXPECT_TRUE(drain(framer).empty()) << "nothing after the bad header can be trusted";
    EXPECT_EQ(framer.pending(), 0) << "nothing is kept for it either";
    framer.reset();  // a new client, which leaves in the middle of an upload
    framer.feed(upload.left(1000));
    EXPECT_TRUE(drain(framer).empty()) << "its upload is still coming";
    framer.reset();
    framer.feed(encodeRequest(4));
    EXPECT_EQ(drain(framer).size(), 1u) << "the next client starts afresh";
}

}  // namespace

TEST(RequestJournal, AFullJournalForgetsItsOldestEntryAndCountsIt) {
    RequestJournal journal(2);
    const UserParamsStore params;
    for (const uint32_t command : {1u, 2u, 3u}) {
        Request request;
        request.header.command = command;
        journal.record(journalEntry(request, QStringLiteral("127.0.0.1:1"), params));
    }
    const std::vector<JournalEntry> kept = journal.entries();
    EXPECT_EQ(std::make_tuple(kept.size(), kept.front().header.command, journal.forgotten()), std::make_tuple(size_t(2), 2u, uint64_t(1)));
}
