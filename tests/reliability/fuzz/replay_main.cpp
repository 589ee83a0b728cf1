// Replays saved fuzz inputs through a target's entry point, so that every
// ordinary build (gcc, sanitizers, the cross build under its emulator) runs
// the corpus as a test. Arguments: files or directories of inputs. A target
// reports a fault by aborting, which fails the test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> files;
    std::error_code error;
    if (fs::is_directory(argv[i], error)) {
      for (const fs::directory_entry& e : fs::directory_iterator(argv[i], error)) {
        if (e.is_regular_file() && e.path().filename().string()[0] != '.') files.push_back(e);
      }
      std::sort(files.begin(), files.end());  // repeatable runs
    } else if (fs::is_regular_file(argv[i], error)) {
      files.emplace_back(argv[i]);
    }
    if (files.empty()) {
      std::fprintf(stderr, "no inputs in %s\n", argv[i]);
      return 2;
    }
    for (const fs::path& file : files) {
      std::ifstream in(file, std::ios::binary);
      // Exactly the input's size, so that reads past the end are caught by
      // the sanitizers as they would be under the fuzzer.
      const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
      if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 2;
      }
      LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
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
