// The library's singletons live for the whole process. A scenario that must
// start from a freshly loaded library runs in a child that re-runs this test
// binary (gtest's "threadsafe" death-test style): a plain fork would inherit
// every singleton the parent already made. Its gtest failures show up in the
// parent through the child's exit status and stderr.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#define IN_FRESH_PROCESS(...)                           \
  do {                                                  \
    GTEST_FLAG_SET(death_test_style, "threadsafe");     \
    EXPECT_EXIT(                                        \
        {                                               \
          __VA_ARGS__;                                  \
          std::fflush(stdout);                          \
          std::fflush(stderr);                          \
          _exit(::testing::Test::HasFailure() ? 1 : 0); \
        },                                              \
        ::testing::ExitedWithCode(0), "");              \
  } while (0)
