// The link to a remote file server: one TCP connection with one message buffer, the wire values
// of the protocol, its framing and the run-length record encoding.  The client (the remote
// engine) and the file server both speak through it.
//
// Framing: every message is a big-endian long L, then L bytes of body.  A request body starts
// with the request code; a reply body holds fields only.  One buffer serves both directions: a
// request is built in it, sent, and the reply is received into the same bytes.
//
// Reading a reply never trusts it: every get is checked against the bytes received, and a
// counted field that would not fit its destination is refused.  A transfer that fails part way
// may leave the byte stream out of step, so the connection is then closed for good (`broken`):
// every later exchange fails at once instead of taking the answer to another request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mdnio::remote {

// The buffer a connection is born with; larger messages use blocks of whole pages.
constexpr uint32_t kHomeSize = 4096;
constexpr uint32_t kPageSize = 4096;
// The largest message a client accepts from a server (a larger length is a failure, not an
// allocation).
constexpr uint32_t kClientMessageLimit = 1u << 30;
// When set, the name of a file to which each connection appends its traffic counts at its end.
constexpr char kStatFileVariable[] = "MDN_STAT_FILE";

// Wire flag octets.
constexpr uint8_t kFlagTrue = 0x54;
constexpr uint8_t kFlagFalse = 0x46;

// Request codes: the first byte of every request body.
namespace request {
constexpr uint8_t kClose = 2;
constexpr uint8_t kSeek = 5;
constexpr uint8_t kRemove = 7;
constexpr uint8_t kErrorNumber = 10;
constexpr uint8_t kGetPosition = 12;
constexpr uint8_t kSetPosition = 13;
constexpr uint8_t kWrite = 35;
constexpr uint8_t kSetMode = 37;
constexpr uint8_t kOpenSession = 38;
constexpr uint8_t kCloseSession = 39;
constexpr uint8_t kOpen = 40;
constexpr uint8_t kBegin = 48;
constexpr uint8_t kCommit = 49;
constexpr uint8_t kRollback = 50;
constexpr uint8_t kReportError = 61;
constexpr uint8_t kRead = 63;
constexpr uint8_t kGetMode = 65;
}  // namespace request

// The server-mode number whose answer tells a server the client must refuse (upper 16 bits 3).
constexpr int32_t kServerKindMode = 100;
constexpr int32_t kRefusedServerKind = 3;
// Passwords of 1 to 63 characters travel in the open request; others only by their length.
constexpr int32_t kLongestPassword = 63;

struct Traffic {
    uint32_t messagesSent = 0;
    uint32_t bytesSent = 0;
    uint32_t messagesReceived = 0;
    uint32_t bytesReceived = 0;
};

}  // namespace mdnio::remote

struct MdkConnection {
    MdkConnection() = default;
    ~MdkConnection();
    MdkConnection(const MdkConnection&) = delete;
    MdkConnection& operator=(const MdkConnection&) = delete;

    // ---- the message buffer ----
    uint8_t* data = home;  // the home buffer or a larger block
    uint32_t capacity = mdnio::remote::kHomeSize;
    uint32_t length = 0;   // bytes written, or bytes of the reply received
    uint32_t readPos = 0;  // next byte to decode
    uint8_t home[mdnio::remote::kHomeSize] = {};

    int socket = -1;
    int32_t session = 0;  // the server's number for this session; 0 until it is open
    bool broken = false;  // a transfer failed: the socket is closed, every exchange fails
    uint32_t messageLimit = mdnio::remote::kClientMessageLimit;  // largest message received
    std::FILE* statFile = nullptr;
    mdnio::remote::Traffic traffic;

    // The server this connection reaches (client side), to tell names for another apart.
    std::string host;
    int port = 0;
    // Tells this connection apart from any earlier one of the same environment: a remote handle
    // opened through a connection that was replaced must not use the new one.
    uint64_t generation = 0;

    // Makes room for `need` bytes: the home buffer up to kHomeSize, otherwise a block of whole
    // pages that is only replaced when it must grow or when at least one whole page can be given
    // back.  `keep` copies the bytes written so far across; without it they are abandoned and
    // the length and read position start again at 0.  False when memory is short or `need` is
    // over the message limit.
    bool ensure(uint32_t need, bool keep);

    // ---- building a message ----
    // A request: the length prefix reserved, then the code.
    bool beginRequest(uint8_t code);
    // A reply (server side): the length prefix reserved, nothing else.
    void beginReply();
    // Each put appends one wire value; false when the buffer could not grow (the message is
    // then not to be sent).  Counts below 0 are refused.
    bool putLong(int32_t v);
    bool putShort(int32_t v);  // the low 16 bits
    bool putByte(uint8_t v);
    bool putFlag(int32_t v);  // kFlagTrue for any value but 0
    bool putBytes(const void* bytes, int32_t n);
    bool putText(const char* text);  // counted, with its terminating zero

    // ---- moving messages ----
    // Sends the message built; the whole of it or a broken connection.
    bool send();
    // Receives one message into the buffer (its body from offset 0, `length` bytes); a length
    // over `messageLimit`, a failed or short transfer is a failure that breaks the connection.
    bool receive();
    // send, then receive.
    bool exchange();
    // Closes the socket after a failure that may have left the stream out of step.
    void breakOff();

    // ---- reading a received message ----
    // Each get decodes one value at the read position and moves past it; false, with nothing
    // stored and the position unchanged, when the value is not all inside the message.
    bool getLong(int32_t& v);
    bool getShort(uint16_t& v);
    bool getByte(uint8_t& v);
    // A counted field copied into `dst` of `capacity` bytes; its count goes to `count`.  False
    // when the count is negative, larger than `capacity` or runs past the message.
    bool getBytes(void* dst, size_t capacity, int32_t& count);
    // A counted field left where it lies in the buffer (valid until the next message).
    bool getCounted(const uint8_t*& bytes, int32_t& count);
    // A text: counted, at least its terminator, which must be its last byte.
    bool getText(std::string& text);
    // Bytes left to decode.
    uint32_t remaining() const { return length - readPos; }
};

namespace mdnio::remote {

// A connection to host:port with its statistics file opened when MDN_STAT_FILE is set; null on
// failure.
MdkConnection* connectTo(const char* host, int port);
// A connection around a socket the server accepted.
MdkConnection* adoptSocket(int socket, uint32_t messageLimit);
// Writes the statistics line, closes the socket and frees the connection.
void disconnect(MdkConnection* connection);

// Expands run-length record encoding into `dst` of `capacity` bytes; the bytes produced, or -1
// when a run would pass `capacity`, the encoding is cut short or holds a control octet of 0xF1
// or more, which no sender produces.
int32_t expandRun(uint8_t* dst, size_t capacity, const uint8_t* src, size_t n);
// Encodes `n` bytes into `out`; false (and `out` left empty) when the encoding would not be
// shorter than the bytes themselves, which then travel as they are.
bool encodeRun(const uint8_t* bytes, size_t n, std::vector<uint8_t>& out);

}  // namespace mdnio::remote
