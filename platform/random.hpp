// The platform's random source, used to seed hash tables.
#pragma once

#include <cstdint>

namespace kestrove::platform {

// 64 bits from the operating system's random source (getrandom, falling back to /dev/urandom and
// then to a clock-derived value when neither is available). Never fails.
uint64_t random_u64();

// A seed for one hash table: a per-thread stream seeded once from random_u64(), so that making
// many tables costs no system call each.
uint64_t hash_seed();

}  // namespace kestrove::platform
