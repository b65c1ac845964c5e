// MurmurHash3 x86_128 of whole groups of eight rows in lanes, as the module's
// AVX2 and AVX-512 kernels hash them: lanes.cpp is built twice, with each set's
// flags.
#pragma once

#include <cstddef>
#include <cstdint>

// Hashes rows 0 .. count - 1 (count a multiple of 8) of row_bytes each and
// returns a value that depends on every digest.
uint64_t hash_eight_avx2(const unsigned char* rows, size_t count, size_t row_bytes, uint32_t seed);
uint64_t hash_eight_avx512(const unsigned char* rows, size_t count, size_t row_bytes, uint32_t seed);
