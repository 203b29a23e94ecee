// Environments, open-file handles and the block shared by the handles of one physical file.
//
// Every engine builds its handle as a struct derived from MdkFile (the common head below) with
// its own fields and buffers behind it in the same allocation, and, for the keyed kinds, shares
// one block derived from MdkSharedFile among the handles of one file in one environment.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "mdnio.h"
#include "platform/platform.h"

namespace mdnio {
using platform::ThreadId;

namespace common {
struct KeyLayout;
}

// Where a kind keeps the current key after a read: what the restricted reads compare with the
// end of the key range and hand to the client.  Both counts stay inside the kind's key buffer.
struct CurrentKey {
    const uint8_t* bytes = nullptr;
    size_t stored = 0;   // bytes of the key value held at `bytes`: what the range test compares
    int32_t length = 0;  // the key length the client is given, and the bytes it receives
};

// How a kind's records are keyed, as the catalog describes its indexes and places its columns.
enum class KeyShape {
    None,          // nothing to describe
    RecordNumber,  // one key: the record number as eight digits
    Layout,        // the key descriptions of a keyed file
};
}  // namespace mdnio

// ---- operation table ---------------------------------------------------------------------------

// Everything the library asks of a file kind.  The first 19 slots are the operations the exports
// route to, in slot order: a kind that does not support one puts the refusal operation of
// frame.h in its slot (code 5), a slot with nothing to do holds a do-nothing operation.  The
// slots after them answer the frame, the restricted reads and the catalog; there a null slot
// means the kind has nothing to give.  Tables are written with designated initializers.
struct MdkOpTable {
    int32_t (*close)(MdkFile* f);                                                   // 0
    int32_t (*dict)(MdkFile* f, int32_t n, void* buf, int32_t len);                 // 1
    int32_t (*seek)(MdkFile* f, const void* key, int32_t len, int32_t keyNumber);   // 2
    int32_t (*write)(MdkFile* f, const void* rec, int32_t recLen, const void* key,  // 3
                     int32_t keyLen, int32_t mode, int32_t offset);
    int32_t (*remove)(MdkFile* f, const void* key, int32_t keyLen, int32_t seq);  // 4
    int32_t (*setpos)(MdkFile* f, int32_t pos);                                   // 5
    int32_t (*getpos)(MdkFile* f);                                                // 6
    int32_t (*commit)(MdkFile* f);                                                // 7
    int32_t (*rollback)(MdkFile* f);                                              // 8
    int32_t (*read)(MdkFile* f, void* buf, int32_t len, int32_t option,           // 9
                    int32_t offset, int32_t address);
    int32_t (*rawReadMode)(MdkFile* f, int32_t mode);                              // 10
    int32_t (*unlockRecord)(MdkFile* f, int32_t which);                            // 11
    int32_t (*getKey)(MdkFile* f, void* buf, int32_t len, int32_t keyNumber);      // 12
    int32_t (*keyAdjust)(MdkFile* f, void* key, int32_t len, int32_t keyNumber);   // 13
    int32_t (*dictAdd)(MdkFile* f, int32_t n, const void* payload, int32_t len);   // 14
    int32_t (*lockHeader)(MdkFile* f);                                             // 15
    int32_t (*unlockHeader)(MdkFile* f, int32_t force, int32_t arg);               // 16
    int32_t (*dropKey)(MdkFile* f, int32_t keyNumber);                             // 17
    int32_t (*restrictedRead)(MdkFile* f, void* buf, int32_t len, int32_t option,  // 18
                              void* keyOut, uint8_t* keyLenOut, const void* endKey,
                              int32_t endKeyLen, int32_t mode);

    // The current key after a read, for the restricted reads.  Only called when the handle
    // has a key buffer.  Null for kinds whose reads the library does not filter itself (views,
    // remote files): they keep no restrict program in the handle, and no dictionary is read
    // from them.
    mdnio::CurrentKey (*currentKey)(MdkFile* f) = nullptr;
    // Fills the description MDDescribeFile answers.  Called under the file lock.
    void (*describeFile)(MdkFile* f, MdkFileInfo* info) = nullptr;
    // The shape of the kind's keys; for KeyShape::Layout the key descriptions are copied to
    // `out`.  Called under the file lock; null answers KeyShape::None.
    mdnio::KeyShape (*keyLayout)(MdkFile* f, mdnio::common::KeyLayout* out) = nullptr;
    // Gives back what the calling thread holds for the kind beyond the environment, file and
    // header locks when a call fails (the views lock).  Never raises.
    void (*releaseHeld)(MdkFile* f) = nullptr;
    // Learns of a raised code before the locks are given back (a remote file tells its server).
    // Never raises.
    void (*noteRaise)(MdkFile* f, int32_t code) = nullptr;
    // The code MDK_geterrno and MDK_strerr report, for kinds whose last error is kept by the side
    // that serves them (remote files ask their server); null: the handle's error slot.  Never
    // raises.
    int32_t (*errorNumber)(MdkFile* f) = nullptr;
    // The kind's own dictionary gives its columns even where an .ini dictionary lists the
    // table (views).
    bool ownColumns = false;
};

// ---- environment -------------------------------------------------------------------------------

// An environment's link to a remote file server (the remote engine's own record).
struct MdkConnection;

struct MdkEnv {
    MdkEnv* next = nullptr;  // registry chain, newest first

    // Settings (environment modes).
    std::atomic<int32_t> backgroundFlush{0};  // mode 1
    int32_t option2 = 0;                      // mode 2: fast step of next and prior
    int32_t lockOptions = 0;                  // mode 3
    int32_t readOnlyFallback = 0;             // mode 4
    int32_t segmentMegabytes = 0;             // modes 5 and -1; 0 means 2000
    int32_t syncWrites = 0;                   // mode 20: writes survive a power loss

    MdkFile* openFiles = nullptr;  // newest first
    int32_t inTransaction = 0;
    std::atomic<int32_t> backgroundTicks{0};

    // The environment lock: recursive, with the owner and depth a raise needs to give back
    // exactly what the calling thread holds.
    mdnio::platform::RecursiveMutex lock;
    std::atomic<mdnio::ThreadId> lockOwner{0};
    int32_t lockDepth = 0;

    // The background flush thread (started by the classic engine, joined at teardown).
    std::atomic<int32_t> backgroundRunning{0};
    std::atomic<int32_t> backgroundStarted{0};
    std::thread backgroundThread;
    void (*backgroundPass)(MdkEnv* env) = nullptr;

    MdkCatalog* catalog = nullptr;     // mode 9
    char runtimeArgs[1024] = {};       // mode 7
    char runtimeStartDir[256] = {};    // mode 6
    char runtimeLibDir[256] = {};      // mode 8
    int32_t defaultServerPort = 0;     // mode 13
    char defaultServerHost[128] = {};  // mode 12

    MdkConnection* remoteSession = nullptr;  // the link to a remote file server, when there is one
    int32_t serverInfo = 0;                  // the server's version, once known (mode 11)
};

// ---- shared file block -------------------------------------------------------------------------

namespace mdnio {
// Bits of MdkSharedFile::flags the frame itself uses.
constexpr uint32_t kSharedExclusive = 0x40;  // opened with MDK_OPEN_EXCLUSIVE
constexpr uint32_t kSharedOneCall = 0x80;    // one-call mark, cleared on entry to every call
}  // namespace mdnio

struct MdkSharedFile {
    MdkSharedFile* self = nullptr;         // set by MDK_OpenExt once the engine's open succeeded
    mdnio::platform::RecursiveMutex lock;  // the file lock
    char fileName[256] = {};
    int32_t fd = -1;
    std::atomic<int32_t> lockCount{0};  // holds of the file lock, over all handles
    std::atomic<uint32_t> flags{0};

    // Facts about the file that the engines keep current and MDGetEnvMode reports.
    int32_t separator = 0x8A;        // field separator; -1 when fields are length-prefixed
    int32_t keyAreaWidth = 0;        // bytes of the key area at the start of a record
    int32_t maxDataLength = 0;       // largest data length
    int32_t keyBufferSize = 0;       // size of each key buffer of a handle
    int32_t recordBufferLength = 0;  // length of a handle's record buffer
    int32_t longestKey = 0;          // longest key length
    int32_t recordCount = -1;        // live records; -1 when the kind keeps no count
    uint8_t headerReadOnly = 0;      // the header marks the file read-only
    uint8_t header[256] = {};        // the engine's copy of the file header
};

// ---- file handle -------------------------------------------------------------------------------

namespace mdnio {
// Bits of MdkFile::flags.
constexpr uint32_t kFileClosedInTx = 0x100;  // closed while a transaction was open
constexpr uint32_t kFileWritesRefused = 0x200;
constexpr uint32_t kFileClosing = 0x400;

constexpr int kRestrictSlots = 50;

// One stored restrict entry with its owned copy of the constant.
struct RestrictSlot {
    int32_t fieldNumber = 0;
    int32_t offset = 0;
    int32_t width = 0;
    int32_t op = 0;
    int32_t scale = 0;
    int32_t length = 0;
    int32_t capacity = 0;   // bytes owned at `value`
    char* value = nullptr;  // zero-terminated copy of the constant
    double number = 0.0;    // parsed numeric constant
};
}  // namespace mdnio

struct MdkFile {
    MdkFile* next = nullptr;  // the environment's chain of open files
    std::atomic<mdnio::ThreadId> lockOwner{0};
    int32_t lockDepth = 0;
    MdkEnv* env = nullptr;
    MdkSharedFile* shared = nullptr;
    std::atomic<int32_t> error{0};
    uint8_t writeAllowed = 0;
    int32_t kind = 0;
    MdkFile* restrictOwner = nullptr;
    mdnio::RestrictSlot restrict[mdnio::kRestrictSlots];
    int32_t restrictLast = 0;
    std::atomic<uint32_t> flags{0};
    const MdkOpTable* ops = nullptr;
    uint8_t* keyBuffer = nullptr;  // the current key: length byte, then the key bytes
};
