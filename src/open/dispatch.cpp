#include "open/dispatch.h"

namespace mdnio {

EngineOpen engineFor(int32_t kind) {
    switch (kind) {
        default:
            return nullptr;
    }
}

}  // namespace mdnio
