#include "tcp/RequestFramer.h"

#include "tcp/CommandTable.h"
#include "udp/HelloPacket.h"

#include <cstring>

uint32_t requestBodySize(const REQUEST_HEADER& header) {
    if (header.payload_size != 0)
        return header.payload_size;
    const CommandInfo* info = findCommand(header.command);
    return info && info->action == CommandAction::WriteFactoryParams ? kFactoryImageSize : 0;
}

void RequestFramer::feed(const char* data, int size) {
    if (broken_ || size <= 0)
        return;
    // Only the tail of an unfinished request is left over, so this moves little.
    if (consumed_ > 0) {
        buffer_.remove(0, consumed_);
        consumed_ = 0;
    }
    buffer_.append(data, size);
}

bool RequestFramer::next(Request& out) {
    if (broken_ || pending() < kRequestHeaderSize)
        return false;
    REQUEST_HEADER header;
    std::memcpy(&header, buffer_.constData() + consumed_, kRequestHeaderSize);
    const uint32_t bodySize = requestBodySize(header);
    if (bodySize > kMaxRequestPayload) {
        broken_ = true;
        rejectedPayloadSize_ = bodySize;
        buffer_.clear();
        consumed_ = 0;
        return false;
    }
    if (pending() - kRequestHeaderSize < static_cast<int>(bodySize))
        return false;
    out.header = header;
    out.payload = buffer_.mid(consumed_ + kRequestHeaderSize, static_cast<int>(bodySize));
    consumed_ += kRequestHeaderSize + static_cast<int>(bodySize);
    if (consumed_ == buffer_.size()) {
        buffer_.clear();
        consumed_ = 0;
    }
    return true;
}

void RequestFramer::reset() {
    buffer_.clear();
    consumed_ = 0;
    broken_ = false;
    rejectedPayloadSize_ = 0;
}
