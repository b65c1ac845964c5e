// MurmurHash3 x86_128 of whole groups of eight rows in AVX2 lanes, as the
// module's AVX2 kernels hash them; in a file of its own, built with AVX2 flags.
#pragma once

#include <cstddef>
#include <cstdint>

// Hashes rows 0 .. count - 1 (count a multiple of 8) of row_bytes each and
// returns a value that depends on every digest.
uint64_t hash_eight_at_a_time(const unsigned char* rows, size_t count, size_t row_bytes, uint32_t seed);
