// A long fragmentation run: waves of objects of mixed sizes (mostly small, some of tens of
// kilobytes, a few of megabytes) are allocated, most of each wave is freed in random order, and
// the survivors pile up until a periodic purge; live bytes rise and fall many times. Prints the
// peak of live (requested) bytes, so that peak RSS can be set against it.
// Usage: fragmentation <waves> <objects per wave>.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Random {
  std::uint64_t state = 0x2545F4914F6CDD1Dull;
  std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

struct Object {
  char* payload;
  std::size_t size;
};

std::size_t sizeFrom(Random& random) {
  const std::uint64_t roll = random.next();
  if (roll % 1000 == 0) return 256 * 1024 + (roll >> 16) % (4 << 20);
  if (roll % 20 == 0) return 2048 + (roll >> 16) % 60000;
  return 16 + (roll >> 16) % 500;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t waves = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 400;
  const std::size_t perWave = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000;
  Random random;
  std::vector<Object> survivors;
  std::size_t live = 0;
  std::size_t peakLive = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t wave = 0; wave < waves; ++wave) {
    std::vector<Object> fresh(perWave);
    for (Object& object : fresh) {
      object.size = sizeFrom(random);
      object.payload = static_cast<char*>(std::malloc(object.size));
      std::memset(object.payload, static_cast<int>(wave), object.size);
      live += object.size;
    }
    if (live > peakLive) peakLive = live;
    // Free all but about one in eight, in random order.
    for (std::size_t index = perWave; index > 1; --index) {
      std::swap(fresh[index - 1], fresh[random.next() % index]);
    }
    for (std::size_t index = 0; index < perWave; ++index) {
      if (index % 8 == 0) {
        survivors.push_back(fresh[index]);
      } else {
        live -= fresh[index].size;
        std::free(fresh[index].payload);
      }
    }
    // Every 25 waves, nine in ten survivors go too.
    if (wave % 25 == 24) {
      std::vector<Object> kept;
      for (const Object& object : survivors) {
        if (random.next() % 10 == 0) {
          kept.push_back(object);
        } else {
          live -= object.size;
          std::free(object.payload);
        }
      }
      survivors.swap(kept);
    }
  }
  for (const Object& object : survivors) std::free(object.payload);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("fragmentation waves=%zu per_wave=%zu peak_live_kb=%zu seconds=%.3f\n", waves,
              perWave, peakLive / 1024, elapsed.count());
  return 0;
}
