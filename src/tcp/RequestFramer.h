#pragma once

#include "tcp/RequestHeader.h"

#include <QByteArray>
#include <optional>

struct Request {
    REQUEST_HEADER header{};
    QByteArray payload;
};

// Cuts one connection's byte stream into requests. Bytes go in as they
// arrive, in pieces of any size; complete requests come out in order, each
// once all of it has arrived. A payload that its command does not use (a
// firmware or file upload) is dropped as it arrives, so it may be of any size
// without being held; its request comes out with an empty payload. Knows
// nothing of sockets.
class RequestFramer {
public:
    void feed(const char* data, int size);
    void feed(const QByteArray& bytes) { feed(bytes.constData(), bytes.size()); }

    // Takes the next complete request off the stream; false when none is
    // complete yet or the stream is broken.
    bool next(Request& out);

    // The header of the next request, once all of it is there.
    bool peekHeader(REQUEST_HEADER& out) const;

    // A header announced a payload larger than any command that uses one
    // takes: the stream cannot be framed any more and the connection should
    // be dropped.
    bool broken() const { return broken_; }
    uint32_t rejectedPayloadSize() const { return rejectedPayloadSize_; }

    // Bytes held: received, not yet handed out as a request and not dropped.
    int pending() const { return buffer_.size() - consumed_; }

    void reset();

private:
    void startSkipping(const REQUEST_HEADER& header);
    bool finishSkipping(Request& out);
    void dropConsumedIfAll();

    QByteArray buffer_;
    int consumed_ = 0;  // bytes at the front of buffer_ already handed out
    // The request whose unused payload is being dropped, and how much of it
    // is still to come.
    std::optional<REQUEST_HEADER> skipping_;
    uint32_t skipLeft_ = 0;
    bool broken_ = false;
    uint32_t rejectedPayloadSize_ = 0;
};

// The bytes that belong to a request after its header. Write factory params
// is followed by a 1024-byte image after its payload (which it does not use),
// unless the payload is 1024 bytes: then that is the image.
uint64_t requestBodySize(const REQUEST_HEADER& header);
