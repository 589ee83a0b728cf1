// The library's singletons live for the whole process. A scenario that must
// start from a freshly loaded library runs in a forked child; its gtest
// failures show up in the parent through the child's exit status and stderr.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#define IN_FRESH_PROCESS(...)                         \
  EXPECT_EXIT(                                        \
      {                                               \
        __VA_ARGS__;                                  \
        std::fflush(stdout);                          \
        std::fflush(stderr);                          \
        _exit(::testing::Test::HasFailure() ? 1 : 0); \
      },                                              \
      ::testing::ExitedWithCode(0), "")
