// Logic minimisation, single thread: the prime implicants of random Boolean functions by iterated
// consensus over cubes, as two-level minimisers find them. Every cube is an object of its own
// sized by the function's variable count (1 to 4 words), covers are arrays grown with realloc,
// and candidate cubes are made and dropped at a high rate: mixed small sizes with realloc.
// Usage: logic_minimiser [functions]
#include <cstring>

#include "workload.h"

using velk::bench::Random;

namespace {

// A cube in positional notation: two bits per variable, 01 for the variable's complement, 10 for
// the variable, 11 when the cube does not depend on it.
using Word = std::uint32_t;

struct Cover {
  Word** cubes = nullptr;
  std::size_t count = 0;
  std::size_t capacity = 0;
  std::size_t words = 0;

  void append(Word* cube) {
    if (count == capacity) {
      capacity = capacity == 0 ? 8 : capacity * 2;
      cubes = static_cast<Word**>(std::realloc(cubes, capacity * sizeof(Word*)));
    }
    cubes[count++] = cube;
  }
};

Word* newCube(std::size_t words) {
  return static_cast<Word*>(std::malloc(words * sizeof(Word)));
}

bool contains(const Word* outer, const Word* inner, std::size_t words) {
  for (std::size_t index = 0; index < words; ++index) {
    if ((outer[index] | inner[index]) != outer[index]) return false;
  }
  return true;
}

// The consensus of two cubes that conflict in exactly one variable, or null.
Word* consensus(const Word* a, const Word* b, std::size_t words) {
  Word* result = newCube(words);
  int conflicts = 0;
  for (std::size_t index = 0; index < words; ++index) {
    Word both = a[index] & b[index];
    // A variable where the two cubes share no value: both of its bits are clear.
    const Word empty = ~(both | both >> 1) & 0x55555555u;
    conflicts += __builtin_popcount(empty);
    result[index] = both | empty | empty << 1;
  }
  if (conflicts == 1) return result;
  std::free(result);
  return nullptr;
}

Cover randomCover(Random& random, std::size_t variables, std::size_t cubes) {
  Cover cover;
  cover.words = (2 * variables + 31) / 32;
  for (std::size_t made = 0; made < cubes; ++made) {
    Word* cube = newCube(cover.words);
    std::memset(cube, 0, cover.words * sizeof(Word));
    // About eight literals per cube, whatever the variable count.
    for (std::size_t variable = 0; variable < variables; ++variable) {
      const bool literal = random.below(variables) < 8;
      const Word value = !literal ? 3u : random.below(2) == 0 ? 1u : 2u;
      cube[variable / 16] |= value << (2 * (variable % 16));
    }
    cover.append(cube);
  }
  return cover;
}

// Adds the consensus of every conflicting pair not already covered, drops every cube a new one
// covers, until nothing changes or the cover reaches `limit` cubes: what is left are the primes.
std::size_t primes(Cover& cover, std::size_t limit) {
  bool changed = true;
  while (changed && cover.count < limit) {
    changed = false;
    for (std::size_t i = 0; i < cover.count && cover.count < limit; ++i) {
      for (std::size_t j = i + 1; j < cover.count && cover.count < limit; ++j) {
        Word* candidate = consensus(cover.cubes[i], cover.cubes[j], cover.words);
        if (candidate == nullptr) continue;
        bool covered = false;
        for (std::size_t k = 0; k < cover.count && !covered; ++k) {
          covered = contains(cover.cubes[k], candidate, cover.words);
        }
        if (covered) {
          std::free(candidate);
          continue;
        }
        // Cubes inside the new one go; the survivors close up in a fresh array.
        Cover kept;
        kept.words = cover.words;
        for (std::size_t k = 0; k < cover.count; ++k) {
          if (contains(candidate, cover.cubes[k], cover.words)) {
            std::free(cover.cubes[k]);
          } else {
            kept.append(cover.cubes[k]);
          }
        }
        kept.append(candidate);
        std::free(cover.cubes);
        cover = kept;
        changed = true;
      }
    }
  }
  return cover.count;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t functions = velk::bench::argument(argc, argv, 1, 8000);
  const velk::bench::Stopwatch stopwatch;
  Random random(11);
  std::uint64_t check = 0;
  for (std::size_t index = 0; index < functions; ++index) {
    const std::size_t variables = random.between(6, 64);
    Cover cover = randomCover(random, variables, random.between(10, 40));
    check = check * 31 + primes(cover, 400);
    for (std::size_t cube = 0; cube < cover.count; ++cube) std::free(cover.cubes[cube]);
    std::free(cover.cubes);
  }
  velk::bench::report("logic_minimiser", stopwatch, check);
  return 0;
}
