#include "tcp/RequestHeader.h"

QByteArray encodeRequest(uint32_t command, const QByteArray& payload, uint32_t offset, uint32_t length) {
    const REQUEST_HEADER header{command, static_cast<uint32_t>(payload.size()), offset, length};
    QByteArray bytes(reinterpret_cast<const char*>(&header), kRequestHeaderSize);
    return bytes + payload;
}
