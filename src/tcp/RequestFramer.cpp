#include "tcp/RequestFramer.h"

#include "tcp/CommandTable.h"
#include "udp/HelloPacket.h"

#include <algorithm>
#include <cstring>

uint64_t requestBodySize(const REQUEST_HEADER& header) {
    const CommandInfo* info = findCommand(header.command);
    const bool factoryWrite = info && info->action == CommandAction::WriteFactoryParams;
    // A factory write's payload is unused and the image follows it, except
    // that a payload of exactly one image is taken as the image itself.
    if (!factoryWrite || header.payload_size == kFactoryImageSize)
        return header.payload_size;
    return uint64_t(header.payload_size) + kFactoryImageSize;
}

void RequestFramer::feed(const char* data, int size) {
    if (broken_ || size <= 0)
        return;
    const int skipped = static_cast<int>(std::min(skipLeft_, uint32_t(size)));
    skipLeft_ -= skipped;
    if (skipped == size)
        return;
    // Only the tail of an unfinished request is left over, so this moves little.
    if (consumed_ > 0) {
        buffer_.remove(0, consumed_);
        consumed_ = 0;
    }
    buffer_.append(data + skipped, size - skipped);
}

bool RequestFramer::next(Request& out) {
    if (skipping_)
        return finishSkipping(out);
    REQUEST_HEADER header;
    if (!peekHeader(header))
        return false;
    if (!keepsPayload(header.command)) {
        startSkipping(header);
        return finishSkipping(out);
    }
    const uint64_t bodySize = requestBodySize(header);
    if (header.payload_size > kMaxRequestPayload) {
        broken_ = true;
        rejectedPayloadSize_ = header.payload_size;
        buffer_.clear();
        consumed_ = 0;
        return false;
    }
    if (pending() - kRequestHeaderSize < static_cast<int>(bodySize))
        return false;
    out.header = header;
    out.payload = buffer_.mid(consumed_ + kRequestHeaderSize, static_cast<int>(bodySize));
    consumed_ += kRequestHeaderSize + static_cast<int>(bodySize);
    dropConsumedIfAll();
    return true;
}

// The header leaves the buffer with whatever part of its payload is there;
// feed() drops the rest as it comes.
void RequestFramer::startSkipping(const REQUEST_HEADER& header) {
    skipping_ = header;
    consumed_ += kRequestHeaderSize;
    const int here = static_cast<int>(std::min(header.payload_size, uint32_t(pending())));
    consumed_ += here;
    skipLeft_ = header.payload_size - uint32_t(here);
    dropConsumedIfAll();
}

bool RequestFramer::finishSkipping(Request& out) {
    if (skipLeft_ > 0)
        return false;
    out.header = *skipping_;
    out.payload.clear();
    skipping_.reset();
    return true;
}

void RequestFramer::dropConsumedIfAll() {
    if (consumed_ == buffer_.size()) {
        buffer_.clear();
        consumed_ = 0;
    }
}

bool RequestFramer::peekHeader(REQUEST_HEADER& out) const {
    if (skipping_) {
        out = *skipping_;
        return true;
    }
    if (broken_ || pending() < kRequestHeaderSize)
        return false;
    std::memcpy(&out, buffer_.constData() + consumed_, kRequestHeaderSize);
    return true;
}

void RequestFramer::reset() {
    buffer_.clear();
    consumed_ = 0;
    skipping_.reset();
    skipLeft_ = 0;
    broken_ = false;
    rejectedPayloadSize_ = 0;
}
