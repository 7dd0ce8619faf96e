// Runs one fuzz target (linked in beside this file) over fixed inputs, the
// way the fuzzer starts a run: the empty input first, then every file named
// on the command line or found in a folder named there. A crash, a sanitizer
// report or an abort of the target fails the test; so the seed corpora and
// every input a fuzzer run once found stay checked in the normal build and
// the sanitizer build, without clang.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(p))
        if (e.is_regular_file()) inputs.push_back(e.path());
    } else if (std::filesystem::is_regular_file(p)) {
      inputs.push_back(p);
    } else {
      std::fprintf(stderr, "fuzz replay: no input %s\n", argv[i]);
      return 2;
    }
  }
  const uint8_t none = 0;
  LLVMFuzzerTestOneInput(&none, 0);
  for (const auto& p : inputs) {
    std::ifstream f(p, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so reading past it is caught.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::printf("%zu inputs and the empty one ran\n", inputs.size());
  return 0;
}
