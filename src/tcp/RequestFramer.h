#pragma once

#include "tcp/RequestHeader.h"

#include <QByteArray>

struct Request {
    REQUEST_HEADER header{};
    QByteArray payload;
};

// Cuts one connection's byte stream into requests. Bytes go in as they
// arrive, in pieces of any size; complete requests come out in order. A
// payload is only handed out once all of it is there. Knows nothing of sockets.
class RequestFramer {
public:
    void feed(const char* data, int size);
    void feed(const QByteArray& bytes) { feed(bytes.constData(), bytes.size()); }

    // Takes the next complete request off the stream; false when none is
    // complete yet or the stream is broken.
    bool next(Request& out);

    // The header of the next request, once all of it is there.
    bool peekHeader(REQUEST_HEADER& out) const;

    // A header announced a payload larger than any command takes: the stream
    // cannot be framed any more and the connection should be dropped.
    bool broken() const { return broken_; }
    uint32_t rejectedPayloadSize() const { return rejectedPayloadSize_; }

    // Bytes received but not yet handed out as a request.
    int pending() const { return buffer_.size() - consumed_; }

    void reset();

private:
    QByteArray buffer_;
    int consumed_ = 0;  // bytes at the front of buffer_ already handed out
    bool broken_ = false;
    uint32_t rejectedPayloadSize_ = 0;
};

// The bytes that belong to a request after its header. Write factory params
// is followed by a 1024-byte image after its payload (which it does not use),
// unless the payload is 1024 bytes: then that is the image.
uint64_t requestBodySize(const REQUEST_HEADER& header);
