// A failed check prints itself and aborts, which both libFuzzer and the
// corpus replay report as a failing input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond) \
  ((cond) ? void() : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond), std::abort()))
