#include "remote/wire.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

#include "common/bytes.h"
#include "common/compress.h"
#include "platform/platform.h"

using mdnio::common::getBe16;
using mdnio::common::getBe32;
using mdnio::common::putBe32;
namespace platform = mdnio::platform;
namespace remote = mdnio::remote;

namespace {

constexpr uint32_t kPrefix = 4;  // the length in front of every message

// `need` rounded up to whole pages.
uint64_t pages(uint32_t need) {
    return (uint64_t{need} + remote::kPageSize - 1) / remote::kPageSize * remote::kPageSize;
}

}  // namespace

MdkConnection::~MdkConnection() {
    if (data != home) std::free(data);
    platform::tcpClose(socket);
    if (statFile) std::fclose(statFile);
}

bool MdkConnection::ensure(uint32_t need, bool keep) {
    if (!keep) length = readPos = 0;
    if (need > messageLimit) return false;
    const bool bigNeed = need > remote::kHomeSize;
    const bool bigBlock = capacity > remote::kHomeSize;
    if (!bigNeed && !bigBlock) return true;
    if (!bigNeed) {
        // Back home: a message this small never needs the block.
        if (keep) std::memcpy(home, data, length < remote::kHomeSize ? length : remote::kHomeSize);
        std::free(data);
        data = home;
        capacity = remote::kHomeSize;
        return true;
    }
    // Less than one whole page to give back: the block stays.
    if (bigBlock && need < capacity && need + uint64_t{remote::kPageSize} > capacity) return true;
    const uint64_t size = pages(need);
    if (size == capacity) return true;
    auto* block = static_cast<uint8_t*>(std::calloc(size, 1));
    if (!block) return false;
    if (keep) std::memcpy(block, data, length);
    if (data != home) std::free(data);
    data = block;
    capacity = static_cast<uint32_t>(size);
    return true;
}

bool MdkConnection::beginRequest(uint8_t code) {
    beginReply();
    return putByte(code);
}

void MdkConnection::beginReply() {
    length = readPos = kPrefix;
}

namespace {

bool append(MdkConnection& c, const void* bytes, uint32_t n) {
    const uint64_t end = uint64_t{c.length} + n;
    if (end > c.messageLimit) return false;
    if (end >= c.capacity && !c.ensure(static_cast<uint32_t>(end), true)) return false;
    mdnio::common::copyBytes(c.data + c.length, bytes, n);
    c.length = static_cast<uint32_t>(end);
    return true;
}

}  // namespace

bool MdkConnection::putLong(int32_t v) {
    uint8_t b[4];
    putBe32(b, static_cast<uint32_t>(v));
    return append(*this, b, 4);
}

bool MdkConnection::putShort(int32_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    return append(*this, b, 2);
}

bool MdkConnection::putByte(uint8_t v) {
    return append(*this, &v, 1);
}

bool MdkConnection::putFlag(int32_t v) {
    return putByte(v ? remote::kFlagTrue : remote::kFlagFalse);
}

bool MdkConnection::putBytes(const void* bytes, int32_t n) {
    if (n < 0 || (n > 0 && !bytes)) return false;
    return putLong(n) && append(*this, bytes, static_cast<uint32_t>(n));
}

bool MdkConnection::putText(const char* text) {
    if (!text) return false;
    const size_t n = std::strlen(text) + 1;
    if (n > static_cast<size_t>(INT32_MAX)) return false;
    return putBytes(text, static_cast<int32_t>(n));
}

void MdkConnection::breakOff() {
    broken = true;
    platform::tcpClose(socket);
    socket = -1;
}

bool MdkConnection::send() {
    if (broken || length < kPrefix) return false;
    putBe32(data, length - kPrefix);
    if (!platform::tcpSendAll(socket, data, length)) {
        breakOff();
        return false;
    }
    traffic.messagesSent++;
    traffic.bytesSent += length;
    readPos = length;
    return true;
}

bool MdkConnection::receive() {
    if (broken) return false;
    uint8_t prefix[kPrefix];
    if (!platform::tcpRecvAll(socket, prefix, sizeof prefix)) {
        breakOff();
        return false;
    }
    const uint32_t bodyLength = getBe32(prefix);
    // A length beyond the limit or a body that cannot be taken in leaves its bytes in the
    // stream: nothing after them could be read in step.
    if (!ensure(bodyLength, false) ||
        (bodyLength > 0 && !platform::tcpRecvAll(socket, data, bodyLength))) {
        breakOff();
        return false;
    }
    length = bodyLength;
    readPos = 0;
    traffic.messagesReceived++;
    traffic.bytesReceived += bodyLength + kPrefix;
    return true;
}

bool MdkConnection::exchange() {
    return send() && receive();
}

bool MdkConnection::getLong(int32_t& v) {
    if (remaining() < 4) return false;
    v = static_cast<int32_t>(getBe32(data + readPos));
    readPos += 4;
    return true;
}

bool MdkConnection::getShort(uint16_t& v) {
    if (remaining() < 2) return false;
    v = getBe16(data + readPos);
    readPos += 2;
    return true;
}

bool MdkConnection::getByte(uint8_t& v) {
    if (remaining() < 1) return false;
    v = data[readPos++];
    return true;
}

bool MdkConnection::getCounted(const uint8_t*& bytes, int32_t& count) {
    const uint32_t start = readPos;
    int32_t n = 0;
    if (!getLong(n)) return false;
    if (n < 0 || static_cast<uint32_t>(n) > remaining()) {
        readPos = start;
        return false;
    }
    bytes = data + readPos;
    count = n;
    readPos += static_cast<uint32_t>(n);
    return true;
}

bool MdkConnection::getBytes(void* dst, size_t cap, int32_t& count) {
    const uint32_t start = readPos;
    const uint8_t* bytes = nullptr;
    int32_t n = 0;
    if (!getCounted(bytes, n)) return false;
    if (static_cast<size_t>(n) > cap) {
        readPos = start;
        return false;
    }
    mdnio::common::copyBytes(dst, bytes, static_cast<size_t>(n));
    count = n;
    return true;
}

bool MdkConnection::getText(std::string& text) {
    const uint32_t start = readPos;
    const uint8_t* bytes = nullptr;
    int32_t n = 0;
    if (!getCounted(bytes, n)) return false;
    if (n < 1 || bytes[n - 1] != 0) {
        readPos = start;
        return false;
    }
    text.assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n - 1));
    return true;
}

namespace mdnio::remote {

namespace {

void openStatFile(MdkConnection& c) {
    const char* name = platform::getEnv(kStatFileVariable);
    if (name && *name) c.statFile = std::fopen(name, "a");
}

}  // namespace

MdkConnection* connectTo(const char* host, int port) {
    int sock = platform::tcpConnect(host, port, 0);
    if (sock < 0) return nullptr;
    auto* c = new (std::nothrow) MdkConnection;
    if (!c) {
        platform::tcpClose(sock);
        return nullptr;
    }
    c->socket = sock;
    c->host = host;
    c->port = port;
    openStatFile(*c);
    return c;
}

MdkConnection* adoptSocket(int socket, uint32_t messageLimit) {
    auto* c = new (std::nothrow) MdkConnection;
    if (!c) return nullptr;
    c->socket = socket;
    c->messageLimit = messageLimit;
    return c;
}

void disconnect(MdkConnection* c) {
    if (!c) return;
    if (c->statFile) {
        std::fprintf(c->statFile, "sent: %d recv: %d sent_b: %d recv_b: %d\n",
                     static_cast<int>(c->traffic.messagesSent),
                     static_cast<int>(c->traffic.messagesReceived),
                     static_cast<int>(c->traffic.bytesSent),
                     static_cast<int>(c->traffic.bytesReceived));
        std::fflush(c->statFile);
    }
    delete c;
}

int32_t expandRun(uint8_t* dst, size_t capacity, const uint8_t* src, size_t n) {
    // Control octets from 0xF1 up are never sent; the record coding of the data files gives the
    // first of them a meaning ("stored as it is") that must not reach a reply.
    constexpr uint8_t kFirstUnused = 0xF1;
    if (n > 0 && src[0] >= kFirstUnused) return -1;
    long got = common::decompressRecord(std::span<const uint8_t>(src, n),
                                        std::span<uint8_t>(dst, capacity));
    return got < 0 || got > INT32_MAX ? -1 : static_cast<int32_t>(got);
}

bool encodeRun(const uint8_t* bytes, size_t n, std::vector<uint8_t>& out) {
    out.assign(common::compressedBound(n), 0);
    long coded = common::compressRecord(std::span<const uint8_t>(bytes, n), out);
    // The stored form (one marker octet, then the bytes) is not run-length coding.
    if (coded <= 0 || static_cast<size_t>(coded) >= n) {
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(coded));
    return true;
}

}  // namespace mdnio::remote
