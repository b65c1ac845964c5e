// A minimal check for the C++ tests: report every failure, exit non-zero.
#pragma once

#include <cstdio>

inline int failures = 0;

#define CHECK(condition)                                                     \
  do {                                                                       \
    if (!(condition)) {                                                      \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                              \
      ++failures;                                                            \
    }                                                                        \
  } while (0)
