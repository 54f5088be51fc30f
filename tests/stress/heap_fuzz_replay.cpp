// Runs the fuzz target without libFuzzer, in every build: over the seed files named on the command
// line, and over inputs drawn from a seeded generator. This is how the 32-bit heap and the Windows
// build meet the same operations and checks as the fuzzer's 64-bit one.
//
//   heap_fuzz_replay [--random COUNT] [--seed S] [FILE...]
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// Random inputs are as long as the fuzzer's grow to; longer ones only repeat more of the same.
constexpr std::size_t kLongestRandomInput = 400;

bool replayFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "heap_fuzz_replay: cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t seed = std::random_device{}();
  std::size_t randomInputs = 0;
  std::vector<std::string> files;
  for (int index = 1; index < argc; ++index) {
    const std::string argument = argv[index];
    if (argument == "--random" && index + 1 < argc) {
      randomInputs = static_cast<std::size_t>(std::strtoull(argv[++index], nullptr, 10));
    } else if (argument == "--seed" && index + 1 < argc) {
      seed = std::strtoull(argv[++index], nullptr, 10);
    } else {
      files.push_back(argument);
    }
  }
  for (const std::string& file : files) {
    if (!replayFile(file)) return 1;
  }
  std::printf("heap_fuzz_replay: %zu seed files passed; %zu random inputs from seed %" PRIu64
              " (replay with --seed)\n",
              files.size(), randomInputs, seed);
  std::fflush(stdout);
  std::mt19937_64 random(seed);
  std::vector<std::uint8_t> input;
  for (std::size_t count = 0; count < randomInputs; ++count) {
    input.resize(static_cast<std::size_t>(random() % kLongestRandomInput));
    for (std::uint8_t& byte : input) byte = static_cast<std::uint8_t>(random());
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("heap_fuzz_replay: passed\n");
  return 0;
}
