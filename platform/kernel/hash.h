// A small non-cryptographic hash for names (layer-internal): FNV-1a over
// the bytes of text, from seed. Stable across runs and processes, so that
// names built from it agree everywhere.
#pragma once

#include <cstdint>
#include <string>

inline uint64_t fnv1a(const std::string& text, uint64_t seed)
{
    uint64_t hash = seed;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}
