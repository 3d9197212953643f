// The harnesses' assertion: a broken property is a crash, which libFuzzer reports and keeps the
// input of. Unlike assert() it stays on in optimised builds.
#ifndef TESTS_FUZZ_FUZZ_CHECK_H_
#define TESTS_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

#endif  // TESTS_FUZZ_FUZZ_CHECK_H_
