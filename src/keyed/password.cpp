// Data-file passwords: finding and reading the password record, the check at the end of open
// and MDK_SetPswd.
//
// The password record is the first dictionary record, from record 1 on, whose field 1 is "EXT".
// Its payload is a sequence of fields, each a length byte and that many bytes:
//   field 1  "EXT"
//   field 2  file option word, BE16 (shorter: no option word)
//   field 3  the password item: kind byte, then the password XOR 0xB6 (at most 8 bytes); an
//            empty field 3 means the file has no password
//   field 4  BE16 CRC-16/ARC, seed 0x93E5, over field 3's length byte and bytes, then over the
//            file identity (header bytes 232..235)
// Fields after the fourth are not interpreted and are kept when the record is rewritten.
//
// Record 0 is never the password record: MDK_SetPswd on a file without dictionary records makes
// an empty record 0 and stores the password record as record 1, where this check (and every
// other reader of the file's dictionary) looks for it.
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "common/datablock.h"
#include "frame/frame.h"
#include "keyed/keyed.h"
#include "keyed/password.h"

namespace mdnio::keyed {

uint16_t crc16(uint16_t crc, std::span<const uint8_t> bytes) {
    // The CRC-16/ARC byte table is linear in its index, so T[i] = T[i & 15] ^ T[i & 0xF0]: two
    // 16-entry tables, one for each nibble of (crc ^ byte), give the same result.
    static constexpr uint16_t kLow[16] = {0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0,
                                          0x0280, 0xC241, 0xC601, 0x06C0, 0x0780, 0xC741,
                                          0x0500, 0xC5C1, 0xC481, 0x0440};
    static constexpr uint16_t kHigh[16] = {0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00,
                                           0x2800, 0xE401, 0xA001, 0x6C00, 0x7800, 0xB401,
                                           0x5000, 0x9C01, 0x8801, 0x4400};
    for (uint8_t b : bytes) {
        const uint8_t i = static_cast<uint8_t>(crc ^ b);
        crc = static_cast<uint16_t>((crc >> 8) ^ kLow[i & 0x0F] ^ kHigh[i >> 4]);
    }
    return crc;
}

namespace {

constexpr uint8_t kTag[3] = {'E', 'X', 'T'};
constexpr size_t kMaxItem = 1 + kMaxPasswordLength;  // kind byte and password

// The fields of a password record.  `malformed` marks a record that names itself "EXT" but
// whose fields 2 to 4 cannot be read: a field running past the end of the record, a field 3
// longer than a password item, a field 4 that is not two bytes.  Such a record is never taken
// as "no password": the open is refused with 31, since the file may well be protected (and its
// blocks enciphered), and MDK_SetPswd refuses to rewrite it.
struct PasswordRecord {
    std::span<const uint8_t> field[4];  // fields 1..4; empty when absent
    int count = 0;                      // fields present, at most 4
    bool malformed = false;
    std::span<const uint8_t> rest;  // the bytes after field 4
};

// Splits `payload` into its first four fields.  False when it is not a password record: its
// field 1 is not the three bytes "EXT" (a first field that runs past the record is not one
// either; such records are other dictionary records, not ours to judge).
bool parsePasswordRecord(std::span<const uint8_t> payload, PasswordRecord& r) {
    r = PasswordRecord{};
    size_t at = 0;
    while (r.count < 4 && at < payload.size()) {
        const size_t length = payload[at];
        if (length > payload.size() - at - 1) {
            if (r.count == 0) return false;
            r.malformed = true;
            return true;
        }
        r.field[r.count++] = payload.subspan(at + 1, length);
        at += 1 + length;
        // Only a record tagged "EXT" is the password record; any other dictionary record (a
        // column description, say) is none of its business, however its bytes read.
        if (r.count == 1 && (r.field[0].size() != sizeof kTag ||
                             std::memcmp(r.field[0].data(), kTag, sizeof kTag) != 0))
            return false;
    }
    if (r.count == 0) return false;
    r.rest = payload.subspan(at);
    if (r.count >= 3 && r.field[2].size() > kMaxItem) r.malformed = true;
    if (r.count >= 4 && r.field[3].size() != 2) r.malformed = true;
    return true;
}

// The checksum field 4 must hold for the password item `item` (field 3's bytes).
uint16_t itemChecksum(const KeyedShared* s, std::span<const uint8_t> item) {
    const uint8_t length = static_cast<uint8_t>(item.size());
    uint16_t crc = crc16(kPasswordChecksumSeed, {&length, 1});
    crc = crc16(crc, item);
    return crc16(crc, {s->header + kOffIdentity, 4});
}

// What the walk over the dictionary records found.
struct Search {
    int32_t number = -1;           // the password record's number; -1: none
    int32_t last = -1;             // the number of the last record; -1: no dictionary records
    std::vector<uint8_t> payload;  // the password record's payload
};

// Looks for the password record from record 1 on, following the next links from record 0 once
// (record n lies n links on).  A record is read as the dictionary calls read it: a sound record
// of a dictionary block, else 9.  A chain that comes back to a record already visited is
// damaged and raises 9 as well, so the walk always ends.
Search findPasswordRecord(KeyedFile* f) {
    KeyedShared* s = f->sh();
    Search found;
    std::unordered_set<uint32_t> seen;
    uint32_t address = get32(s->header, kOffDictionary);
    for (int32_t n = 0; address != 0; n++) {
        if (!seen.insert(address).second) raiseError(f, MDK_E_OFFSET);
        DictView record = dictRecordAt(f, address);
        found.last = n;
        std::span<const uint8_t> payload = record.payload;
        PasswordRecord r;
        if (n > 0 && parsePasswordRecord(payload, r)) {
            found.number = n;
            found.payload.assign(payload.begin(), payload.end());
            return found;
        }
        address = record.next;
    }
    return found;
}

// Sets up the block cipher of the file, once per shared file.
void installCipher(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if (s->cipher) return;
    std::unique_ptr<Cipher> c(new (std::nothrow) Cipher());
    if (!c) raiseError(f, MDK_E_MEMORY);
    setUpCipher(*c);
    // Clean key and data blocks cached so far were taken from disk as they were: read them
    // again through the cipher.  A dirty buffer holds plain bytes and is enciphered on its way
    // to disk like any other.
    for (CacheBuffer& b : s->cache) {
        if (b.address && !b.dirty && (b.data[0] == kTypeKey || b.data[0] == kTypeData)) {
            b.address = 0;
            b.referenced = false;
        }
    }
    s->cipher = std::move(c);
}

// True when the file has a key block or a data block.  A password that enciphers can only be
// given to a file without them: the blocks already on disk are plain, and once the password
// record asks for enciphered blocks every reader would decipher them into garbage.  Freed
// blocks get type 0, so a block's type byte tells whether it is in use.
bool holdsKeyOrDataBlocks(KeyedFile* f) {
    KeyedShared* s = f->sh();
    for (int k = 0; k < 16; k++)
        if (get32(s->header, kOffRoots + 4 * k) != 0) return true;
    // Slot mode keeps records in record slots, never in blocks: its only enciphered blocks are
    // key blocks, and those hang from the roots.
    if (!s->blockMode) return false;
    const uint32_t eof = get32(s->header, kOffEof);
    const uint32_t eofSegment = segmentOf(eof, s->blockSize);
    for (uint32_t segment = 0; segment <= s->header[kOffSegments]; segment++) {
        int64_t unused = 0;
        const int fd = segmentFdFor(f, addressIn(segment, kFirstBlock), &unused);
        const int64_t end =
            segment == eofSegment ? offsetInSegment(eof, s->blockSize) : platform::fileLength(fd);
        if (end < 0) raiseError(f, MDK_E_READ);
        for (int64_t at = kFirstBlock; at + s->blockSize <= end; at += s->blockSize) {
            uint8_t type = 0;
            if (const uint8_t* cached = store::cachedBlock(*s, addressIn(segment, at))) {
                type = cached[0];
            } else {
                platform::IoResult r = platform::readAt(fd, &type, 1, at);
                if (r.status != platform::IoStatus::Ok || r.count != 1) raiseError(f, MDK_E_READ);
            }
            if (type == kTypeKey || type == kTypeData) return true;
        }
    }
    return false;
}

// The password record with `item` as field 3 and its checksum as field 4, keeping field 2 and
// whatever follows field 4.
std::vector<uint8_t> passwordRecord(const KeyedShared* s, std::span<const uint8_t> optionField,
                                    std::span<const uint8_t> item, std::span<const uint8_t> rest) {
    std::vector<uint8_t> out;
    // Sized up front: besides saving reallocations, this keeps GCC 12's -O2 bounds analysis from
    // misreading the growth of a one-byte vector as an overflow.
    out.reserve(1 + sizeof kTag + 1 + optionField.size() + 1 + item.size() + 3 + rest.size());
    out.push_back(sizeof kTag);
    out.insert(out.end(), kTag, kTag + sizeof kTag);
    out.push_back(static_cast<uint8_t>(optionField.size()));
    out.insert(out.end(), optionField.begin(), optionField.end());
    out.push_back(static_cast<uint8_t>(item.size()));
    out.insert(out.end(), item.begin(), item.end());
    const uint16_t sum = itemChecksum(s, item);
    out.push_back(2);
    out.push_back(static_cast<uint8_t>(sum >> 8));
    out.push_back(static_cast<uint8_t>(sum));
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

// The check proper, inside the header-lock period of checkPassword.
int32_t judgePassword(KeyedFile* f, const char* password, int32_t length) {
    KeyedShared* s = f->sh();
    Search found = findPasswordRecord(f);
    if (found.number < 0) return 0;
    PasswordRecord r;
    parsePasswordRecord(found.payload, r);
    if (r.malformed) return MDK_E_PASSWORD;
    if (r.count < 3 || r.field[2].empty()) return 0;
    const std::span<const uint8_t> item = r.field[2];
    const uint16_t stored = r.count >= 4 ? common::getBe16(r.field[3].data()) : 0;
    if (itemChecksum(s, item) != stored) return MDK_E_PASSWORD;

    const uint8_t kind = item[0];
    const std::span<const uint8_t> masked = item.subspan(1);
    // The stored password has at most 8 bytes, so a longer one given here never matches; only
    // as many of the caller's bytes as are stored are ever read.
    bool match = length >= 0 && static_cast<size_t>(length) == masked.size() &&
                 (length == 0 || password != nullptr);
    for (size_t i = 0; match && i < masked.size(); i++)
        match = (static_cast<uint8_t>(password[i]) ^ kPasswordMask) == masked[i];
    if (!match) {
        if (kind == kKindRefuse || kind == kKindRefuseCipher) return MDK_E_PASSWORD;
        if (kind == kKindReadOnly || kind == kKindReadOnlyCipher) f->flags |= kFileWritesRefused;
    }
    // A stored password without bytes sets up no cipher, whatever the kind.
    if (kindEnciphers(kind) && !masked.empty()) installCipher(f);
    return 0;
}

int32_t setPassword(KeyedFile* f, const char* password, int32_t length, int32_t kind) {
    KeyedShared* s = f->sh();
    if (!f->writeAllowed) raiseError(f, MDK_E_READONLY);
    if (f->flags & kFileWritesRefused) raiseError(f, MDK_E_WRITE);
    // A password longer than the record holds could never be matched; an empty one protects
    // nothing (and sets up no cipher even for the kinds that encipher).
    if (!password || length < 1 || static_cast<size_t>(length) > kMaxPasswordLength || kind < 0 ||
        kind > 255)
        raiseError(f, MDK_E_LENGTH);
    const bool enciphers = kindEnciphers(static_cast<uint8_t>(kind));
    // The cipher is switched on for the shared file at once, but a rollback would take the
    // password record back out of the file: an enciphering password is not set in a transaction.
    if (enciphers && f->env->inTransaction) raiseError(f, MDK_E_WRITE);

    // The caller's buffer may be read-only: the masked password is a copy.
    uint8_t item[kMaxItem];
    item[0] = static_cast<uint8_t>(kind);
    for (int32_t i = 0; i < length; i++)
        item[1 + i] = static_cast<uint8_t>(password[i]) ^ kPasswordMask;
    const std::span<const uint8_t> itemBytes(item, static_cast<size_t>(length) + 1);

    lockHeader(f);
    Search found = findPasswordRecord(f);
    PasswordRecord r;
    if (found.number >= 0) {
        parsePasswordRecord(found.payload, r);
        if (r.malformed) raiseError(f, MDK_E_PASSWORD);
        if (r.count >= 3 && !r.field[2].empty()) {
            unlockHeader(f, false);
            return kPasswordAlreadySet;
        }
    }
    if (enciphers && holdsKeyOrDataBlocks(f)) raiseError(f, MDK_E_WRITE);
    if (found.number >= 0) {
        // Fill in the record that has no password yet, in place.
        dictWrite(f, found.number, passwordRecord(s, r.field[1], itemBytes, r.rest));
    } else {
        // A new password record goes after the last dictionary record, so that no record
        // changes its number; a file without any gets an empty record 0 first, since the
        // password record is looked for from record 1 on.
        if (found.last < 0) {
            dictWrite(f, 0, {});
            found.last = 0;
        }
        dictWrite(f, found.last + 1, passwordRecord(s, {}, itemBytes, {}));
    }
    // This handle and every other handle of the environment on the file now write enciphered
    // blocks, as they would after reopening the file.
    const bool newCipher = enciphers && !s->cipher;
    if (enciphers) installCipher(f);
    if (f->env->inTransaction) s->flags |= kTxHeld;
    try {
        unlockHeader(f, false);
    } catch (...) {
        // The period's changes were given up, the password record with them: blocks written
        // from now on must stay plain.  The raise gave the file lock back; take it again.
        if (newCipher) {
            lockFile(f);
            s->cipher.reset();
            unlockFile(f);
        }
        throw;
    }
    return 0;
}

}  // namespace

int32_t checkPassword(KeyedFile* f, const char* password, int32_t length) {
    lockHeader(f);
    const int32_t answer = judgePassword(f, password, length);
    unlockHeader(f, false);
    return answer;
}

}  // namespace mdnio::keyed

using namespace mdnio;

extern "C" {

// Stores a password in a classic keyed file that has none.  Other kinds of file answer 5.
MDNIO_API int32_t MDK_SetPswd(MdkFile* file, const char* password, int32_t length, int32_t kind) {
    return callFrame(file, CallKind::Plain, [&]() -> int32_t {
        if (file->kind != MDK_KIND_KEYED) raiseError(file, MDK_E_FILETYPE);
        return keyed::setPassword(keyed::K(file), password, length, kind);
    });
}

}  // extern "C"
