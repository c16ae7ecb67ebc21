// Checks of internal invariants. They cost nothing in release builds; the
// sanitizer and fuzzing builds (VORN_CHECKS) stop at the first broken one.
#pragma once

#if defined(VORN_CHECKS)
#include <cstdio>
#include <cstdlib>
#define VORN_ASSERT(condition)                                                               \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: broken invariant: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)
#else
#define VORN_ASSERT(condition) ((void)0)
#endif
