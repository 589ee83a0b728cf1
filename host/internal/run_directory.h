// Internal facts about the run directory.
#pragma once

#include <cstddef>

namespace vantorel {
namespace host {

// Longest socket path a sockaddr_un holds, terminator excluded.
constexpr std::size_t kMaxSocketPath = 107;

// False when the run directory is missing, a symlink, not ours, or writable
// by others; then nothing is served or connected there.
bool run_directory_safe() noexcept;

}  // namespace host
}  // namespace vantorel
