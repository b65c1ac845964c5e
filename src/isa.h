// The instruction set that this file is compiled for, as the name of an inline
// namespace. The headers that every row kernel includes are compiled once per
// kernel file, each with its own set's flags; naming each copy after its set
// keeps the linker from merging an AVX2 copy of an inline function or a
// template into code that must run on any CPU.
#pragma once

#if defined(__AVX512F__) && defined(__AVX512VL__) && defined(__AVX512BW__) && defined(__AVX512DQ__)
#define TOLVANE_ISA avx512
#elif defined(__AVX2__)
#define TOLVANE_ISA avx2
#else
#define TOLVANE_ISA baseline
#endif
