#include "tcp/CommandTable.h"
#include "tcp/RequestFramer.h"
#include "udp/HelloPacket.h"

#include <gtest/gtest.h>

namespace {

std::vector<Request> drain(RequestFramer& framer) {
    std::vector<Request> requests;
    Request request;
    while (framer.next(request))
        requests.push_back(request);
    return requests;
}

QByteArray filler(int size, char first = 'a') {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(first + i % 23);
    return bytes;
}

TEST(RequestFramer, HandsOutRequestsOnlyOnceWholeAndInOrder) {
    const QByteArray stream = encodeRequest(5, filler(512)) + encodeRequest(3, {}, 1000, 1000);
    RequestFramer burst;
    burst.feed(stream + encodeRequest(4));
    EXPECT_EQ(drain(burst).size(), 3u);
    EXPECT_EQ(burst.pending(), 0);

    RequestFramer byteByByte;
    std::vector<Request> requests;
    for (int i = 0; i < stream.size(); ++i) {
        byteByByte.feed(stream.constData() + i, 1);
        for (Request& r : drain(byteByByte)) {
            requests.push_back(r);
            EXPECT_EQ(i + 1, requests.size() == 1 ? 16 + 512 : stream.size()) << "handed out early or late";
        }
    }
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].payload, filler(512));
    EXPECT_EQ(requests[1].header.offset, 1000u);
    EXPECT_EQ(requests[1].header.length, 1000u);
}

TEST(RequestFramer, FactoryWriteTakesTheImageAfterItsPayloadUnlessThePayloadIsTheImage) {
    RequestFramer bare;
    bare.feed(encodeRequest(131) + filler(1023));
    EXPECT_TRUE(drain(bare).empty()) << "a partial image must not be handed out";
    bare.feed(filler(1, 'Z') + encodeRequest(4));
    std::vector<Request> requests = drain(bare);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].payload.size(), kFactoryImageSize);
    EXPECT_EQ(requests[0].payload.right(1), QByteArray("Z"));
    EXPECT_EQ(requests[1].header.command, 4u);

    // A payload before the image is kept in front of it, unless the payload is the image itself.
    for (const int payloadSize : {4, 1023, 1025, kFactoryImageSize}) {
        RequestFramer withPayload;
        const QByteArray image = payloadSize == kFactoryImageSize ? QByteArray() : filler(kFactoryImageSize, 'A');
        withPayload.feed(encodeRequest(131, filler(payloadSize)) + image + encodeRequest(4));
        requests = drain(withPayload);
        ASSERT_EQ(requests.size(), 2u) << payloadSize;
        EXPECT_EQ(requests[0].payload, filler(payloadSize) + image) << payloadSize;
    }
}

TEST(RequestFramer, AnnouncedPayloadBeyond64KiBBreaksTheStream) {
    RequestFramer largest;
    largest.feed(encodeRequest(147, filler(int(kMaxRequestPayload))));
    ASSERT_EQ(drain(largest).size(), 1u);

    RequestFramer framer;
    REQUEST_HEADER header{5, 0xFFFFFFF0u, 0, 0};
    framer.feed(reinterpret_cast<const char*>(&header), sizeof header);
    EXPECT_TRUE(drain(framer).empty());
    EXPECT_TRUE(framer.broken());
    EXPECT_EQ(framer.rejectedPayloadSize(), 0xFFFFFFF0u);
    framer.feed(encodeRequest(4));
    EXPECT_TRUE(drain(framer).empty()) << "nothing after the bad header can be trusted";
    EXPECT_EQ(framer.pending(), 0) << "nothing is kept for it either";
}

TEST(RequestFramer, ResetForgetsAPendingRequest) {
    RequestFramer framer;
    framer.feed(encodeRequest(5, filler(512)).left(100));
    framer.reset();  // the next client
    framer.feed(encodeRequest(4));
    const std::vector<Request> requests = drain(framer);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header.command, 4u);
}

}  // namespace
