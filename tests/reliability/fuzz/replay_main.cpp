// Replays saved fuzz inputs through a target's entry point, so that every
// ordinary build (gcc, sanitizers, the cross build under its emulator) runs
// the corpus as a test. Arguments: files or directories of inputs. A target
// reports a fault by aborting, which fails the test.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool read_file(const std::string& path, std::vector<uint8_t>& out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out.clear();
  uint8_t chunk[4096];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

// Regular files of `path` (or `path` itself), sorted so runs are repeatable.
std::vector<std::string> inputs_of(const std::string& path) {
  std::vector<std::string> files;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return files;
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return files;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return files;
  while (dirent* e = readdir(dir)) {
    const std::string full = path + "/" + e->d_name;
    if (e->d_name[0] != '.' && stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      files.push_back(full);
    }
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  size_t replayed = 0;
  std::vector<uint8_t> bytes;
  for (int i = 1; i < argc; ++i) {
    const std::vector<std::string> files = inputs_of(argv[i]);
    if (files.empty()) {
      std::fprintf(stderr, "no inputs in %s\n", argv[i]);
      return 2;
    }
    for (const std::string& file : files) {
      if (!read_file(file, bytes)) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 2;
      }
      // A copy of exactly the input's size, so that reads past the end are
      // caught by the sanitizers as they would be under the fuzzer.
      std::vector<uint8_t> exact(bytes);
      LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
      ++replayed;
    }
  }
  if (replayed == 0) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR|FILE...\n", argv[0]);
    return 2;
  }
  std::printf("replayed %zu inputs\n", replayed);
  return 0;
}
