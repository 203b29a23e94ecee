#include "devtools/layout_parts.h"

#include <atomic>
#include <chrono>
#include <random>

namespace mdnio::devtools {

// Mixes the clock, a random device and a process-wide serial number.
uint32_t freshIdentity() {
    static std::atomic<uint32_t> serial{0};
    uint64_t seed =
        static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    seed ^= uint64_t{serial.fetch_add(1)} * 0x9E3779B97F4A7C15ull;
    try {
        std::random_device device;
        seed ^= uint64_t{device()} << 32 | device();
    } catch (...) {
        // No random source: the clock and the serial number still differ per call.
    }
    // splitmix64 finaliser: every input bit reaches every output bit.
    seed = (seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9ull;
    seed = (seed ^ (seed >> 27)) * 0x94D049BB133111EBull;
    seed ^= seed >> 31;
    const uint32_t id = static_cast<uint32_t>(seed ^ (seed >> 32));
    return id != 0 ? id : 1;
}

}  // namespace mdnio::devtools
