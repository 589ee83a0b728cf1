// Replays a target's saved inputs (the files of the directory given), so
// that every ordinary build (gcc, sanitizers, the cross build under its
// emulator) runs the corpus as a test. A target reports a fault by aborting.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(argc == 2 ? argv[1] : "", error))
    if (entry.is_regular_file()) files.push_back(entry.path());
  if (files.empty()) return std::fprintf(stderr, "usage: %s CORPUS_DIR (not empty)\n", argv[0]), 2;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    // Exactly the input's size, so that the sanitizers see reads past its end.
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
}
