// Plain driver for the fuzz target (no libFuzzer needed): runs every file named on the
// command line, or every file inside the named folders (recursively), through
// LLVMFuzzerTestOneInput. Used by ctest to replay the seed corpus and the regression
// inputs with any compiler; a crash or sanitizer report fails the test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    fs::path p(argv[i]);
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      for (const auto& e : fs::recursive_directory_iterator(p, ec))
        if (e.is_regular_file()) files.push_back(e.path());
    } else if (fs::is_regular_file(p, ec)) {
      files.push_back(p);
    }
  }
  size_t n = 0;
  for (const fs::path& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (data.size() > (16u << 20)) continue;  // the fuzzer's own inputs stay far below this
    LLVMFuzzerTestOneInput(data.data(), data.size());
    ++n;
  }
  std::printf("replayed %zu inputs\n", n);
  return 0;
}
