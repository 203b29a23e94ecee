#include "open/dispatch.h"

#include "keyed/open.h"

#include "indexed/indexed.h"

namespace mdnio {

EngineOpen engineFor(int32_t kind) {
    switch (kind) {
        case MDK_KIND_KEYED:
            return keyed::openClassic;
        case MDK_KIND_INDEXED:
            return indexed::openIndexed;
        default:
            return nullptr;
    }
}

}  // namespace mdnio
