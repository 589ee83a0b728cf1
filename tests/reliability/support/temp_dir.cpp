#include "temp_dir.h"

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace reliability {

std::string make_temp_dir(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return "";
  return std::string(buffer.data());
}

void remove_tree(const std::string& path) {
  if (path.empty()) return;
  nftw(
      path.c_str(),
      [](const char* entry, const struct stat*, int, struct FTW*) { return std::remove(entry); },
      16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& path) {
  std::string text;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return text;
  char chunk[65536];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  std::fclose(file);
  return text;
}

int open_fd_count() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;
}

}  // namespace reliability
