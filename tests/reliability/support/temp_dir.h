// Private temporary directories for reliability tests.
#pragma once

#include <string>

namespace reliability {

// A new directory "/tmp/<prefix>XXXXXX" (mode 0700), or "" on failure.
std::string make_temp_dir(const char* prefix);
// Removes `path` and everything below it; best effort.
void remove_tree(const std::string& path);
// Whole content of a file; "" when it cannot be read.
std::string read_file(const std::string& path);
// Open descriptors of this process (entries of /proc/self/fd, the one used
// to list them excluded).
int open_fd_count();

}  // namespace reliability
