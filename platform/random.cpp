// The platform's random source, used to seed hash tables.
#include "platform/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace kestrove::platform {

uint64_t random_u64() {
    uint64_t value = 0;
    for (;;) {
        ssize_t got = getrandom(&value, sizeof value, 0);
        if (got == static_cast<ssize_t>(sizeof value)) return value;
        if (got < 0 && errno == EINTR) continue;
        break;
    }
    if (FILE* f = std::fopen("/dev/urandom", "rbe")) {
        size_t got = std::fread(&value, 1, sizeof value, f);
        std::fclose(f);
        if (got == sizeof value) return value;
    }
    // Seeds only spread keys over hash buckets; an unpredictable clock reading is enough.
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
           0x9E3779B97F4A7C15ull;
}

uint64_t hash_seed() {
    thread_local uint64_t state = random_u64();
    // splitmix64: consecutive outputs are well spread even from adjacent states.
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace kestrove::platform
