// Internal facts about the run directory.
#pragma once

#include <cstddef>

namespace vantorel {
namespace host {

// Longest socket path a sockaddr_un holds, terminator excluded.
constexpr std::size_t kMaxSocketPath = 107;

// The run directory's descriptor, open for the life of the process, or -1
// when its verdict is not ok (then nothing is served or connected there).
int run_directory_fd() noexcept;
// True when the verdict is ok; no system call.
bool run_directory_safe() noexcept;

}  // namespace host
}  // namespace vantorel
