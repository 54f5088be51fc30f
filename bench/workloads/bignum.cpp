// Bignum factoring, single thread: Pollard's rho on 128-bit numbers with a bignum type whose every
// value, intermediate ones included, is an object of its own on the heap, made by one operation
// and freed a moment later, so that the program makes very many short-lived small objects.
// Usage: bignum [numbers] [iterations per number]
#include <bit>
#include <cstring>

#include "workload.h"

namespace {

// limbs[0] holds the count of 32-bit limbs that follow, least significant first, with no leading
// zero limb (zero has none).
using Number = std::uint32_t*;
using Wide = std::uint64_t;

std::uint32_t length(const std::uint32_t* number) {
  return number[0];
}

Number make(std::uint32_t limbs) {
  auto* number = static_cast<Number>(std::malloc((limbs + 1) * sizeof(std::uint32_t)));
  number[0] = limbs;
  return number;
}

Number trimmed(Number number) {
  while (number[0] > 0 && number[number[0]] == 0) --number[0];
  return number;
}

Number fromWide(Wide value) {
  Number number = make(2);
  number[1] = static_cast<std::uint32_t>(value);
  number[2] = static_cast<std::uint32_t>(value >> 32);
  return trimmed(number);
}

int compare(const std::uint32_t* a, const std::uint32_t* b) {
  if (length(a) != length(b)) return length(a) < length(b) ? -1 : 1;
  for (std::uint32_t index = length(a); index > 0; --index) {
    if (a[index] != b[index]) return a[index] < b[index] ? -1 : 1;
  }
  return 0;
}

Number add(const std::uint32_t* a, const std::uint32_t* b) {
  if (length(a) < length(b)) std::swap(a, b);
  Number sum = make(length(a) + 1);
  Wide carry = 0;
  for (std::uint32_t index = 1; index <= length(a); ++index) {
    carry += Wide{a[index]} + (index <= length(b) ? b[index] : 0);
    sum[index] = static_cast<std::uint32_t>(carry);
    carry >>= 32;
  }
  sum[length(a) + 1] = static_cast<std::uint32_t>(carry);
  return trimmed(sum);
}

// a - b, with a >= b.
Number subtract(const std::uint32_t* a, const std::uint32_t* b) {
  Number difference = make(length(a));
  std::int64_t borrow = 0;
  for (std::uint32_t index = 1; index <= length(a); ++index) {
    const std::int64_t value =
        std::int64_t{a[index]} - (index <= length(b) ? b[index] : 0) - borrow;
    difference[index] = static_cast<std::uint32_t>(value);
    borrow = value < 0 ? 1 : 0;
  }
  return trimmed(difference);
}

Number distance(const std::uint32_t* a, const std::uint32_t* b) {
  return compare(a, b) >= 0 ? subtract(a, b) : subtract(b, a);
}

Number multiply(const std::uint32_t* a, const std::uint32_t* b) {
  Number product = make(length(a) + length(b));
  std::memset(product + 1, 0, product[0] * sizeof(std::uint32_t));
  for (std::uint32_t i = 1; i <= length(a); ++i) {
    Wide carry = 0;
    for (std::uint32_t j = 1; j <= length(b); ++j) {
      carry += Wide{a[i]} * b[j] + product[i + j - 1];
      product[i + j - 1] = static_cast<std::uint32_t>(carry);
      carry >>= 32;
    }
    product[i + length(b)] = static_cast<std::uint32_t>(carry);
  }
  return trimmed(product);
}

// a mod m, m not zero: long division with normalised limbs and a two-limb quotient estimate.
Number modulo(const std::uint32_t* a, const std::uint32_t* m) {
  const std::uint32_t n = length(m);
  const std::uint32_t total = length(a);
  if (compare(a, m) < 0) {
    Number copy = make(total);
    std::memcpy(copy + 1, a + 1, total * sizeof(std::uint32_t));
    return copy;
  }
  if (n == 1) {
    Wide rest = 0;
    for (std::uint32_t index = total; index > 0; --index) rest = ((rest << 32) | a[index]) % m[1];
    return fromWide(rest);
  }
  const int shift = std::countl_zero(m[n]);
  auto* divisor = static_cast<std::uint32_t*>(std::malloc(n * sizeof(std::uint32_t)));
  auto* rest = static_cast<std::uint32_t*>(std::malloc((total + 1) * sizeof(std::uint32_t)));
  for (std::uint32_t index = n - 1; index > 0; --index) {
    divisor[index] =
        static_cast<std::uint32_t>((m[index + 1] << shift) | (Wide{m[index]} >> (32 - shift)));
  }
  divisor[0] = m[1] << shift;
  rest[total] = static_cast<std::uint32_t>(Wide{a[total]} >> (32 - shift));
  for (std::uint32_t index = total - 1; index > 0; --index) {
    rest[index] =
        static_cast<std::uint32_t>((a[index + 1] << shift) | (Wide{a[index]} >> (32 - shift)));
  }
  rest[0] = a[1] << shift;
  for (std::uint32_t j = total - n + 1; j-- > 0;) {
    const Wide top = (Wide{rest[j + n]} << 32) | rest[j + n - 1];
    Wide quotient = top / divisor[n - 1];
    Wide remainder = top % divisor[n - 1];
    while (quotient >> 32 != 0 ||
           quotient * divisor[n - 2] > ((remainder << 32) | rest[j + n - 2])) {
      --quotient;
      remainder += divisor[n - 1];
      if (remainder >> 32 != 0) break;
    }
    std::int64_t borrow = 0;
    for (std::uint32_t index = 0; index < n; ++index) {
      const Wide product = quotient * divisor[index];
      const std::int64_t value =
          std::int64_t{rest[index + j]} - borrow - static_cast<std::int64_t>(product & 0xFFFFFFFF);
      rest[index + j] = static_cast<std::uint32_t>(value);
      borrow = static_cast<std::int64_t>(product >> 32) - (value >> 32);
    }
    const std::int64_t value = std::int64_t{rest[j + n]} - borrow;
    rest[j + n] = static_cast<std::uint32_t>(value);
    if (value < 0) {  // the estimate was one too high: add the divisor back
      Wide carry = 0;
      for (std::uint32_t index = 0; index < n; ++index) {
        carry += Wide{rest[index + j]} + divisor[index];
        rest[index + j] = static_cast<std::uint32_t>(carry);
        carry >>= 32;
      }
      rest[j + n] += static_cast<std::uint32_t>(carry);
    }
  }
  Number result = make(n);
  for (std::uint32_t index = 0; index < n; ++index) {
    result[index + 1] = static_cast<std::uint32_t>((rest[index] >> shift) |
                                                   (Wide{rest[index + 1]} << (32 - shift)));
  }
  std::free(divisor);
  std::free(rest);
  return trimmed(result);
}

Number gcd(const std::uint32_t* a, const std::uint32_t* b) {
  Number x = modulo(a, b);  // copies as it reduces
  Number y = modulo(b, b);
  std::free(y);
  y = make(length(b));
  std::memcpy(y + 1, b + 1, length(b) * sizeof(std::uint32_t));
  while (length(x) != 0) {
    Number next = modulo(y, x);
    std::free(y);
    y = x;
    x = next;
  }
  std::free(x);
  return y;
}

// x * x + c mod n, each step a fresh object.
Number step(const std::uint32_t* x, const std::uint32_t* c, const std::uint32_t* n) {
  Number square = multiply(x, x);
  Number sum = add(square, c);
  Number reduced = modulo(sum, n);
  std::free(square);
  std::free(sum);
  return reduced;
}

// Pollard's rho (Floyd's cycle, gcds batched over products): a factor of n, or null.
Number rho(const std::uint32_t* n, std::uint64_t seed, std::size_t iterations) {
  Number one = fromWide(1);
  Number c = fromWide(seed % 1000 + 1);
  Number x = fromWide(2);
  Number y = fromWide(2);
  Number product = fromWide(1);
  Number factor = nullptr;
  for (std::size_t index = 1; index <= iterations && factor == nullptr; ++index) {
    Number nextX = step(x, c, n);
    Number half = step(y, c, n);
    Number nextY = step(half, c, n);
    std::free(x);
    std::free(y);
    std::free(half);
    x = nextX;
    y = nextY;
    Number gap = distance(x, y);
    Number widened = multiply(product, gap);
    std::free(product);
    product = modulo(widened, n);
    std::free(widened);
    std::free(gap);
    if (index % 64 == 0) {
      Number divisor = gcd(n, product);
      if (compare(divisor, one) != 0 && compare(divisor, n) != 0) {
        factor = divisor;
      } else {
        std::free(divisor);
      }
    }
  }
  for (Number number : {one, c, x, y, product}) std::free(number);
  return factor;
}

// Deterministic Miller-Rabin for 64-bit numbers, in machine arithmetic: only the inputs are made
// with it.
Wide powerModulo(Wide base, Wide exponent, Wide modulus) {
  unsigned __int128 result = 1, power = base % modulus;
  for (; exponent != 0; exponent >>= 1) {
    if (exponent & 1) result = result * power % modulus;
    power = power * power % modulus;
  }
  return static_cast<Wide>(result);
}

bool isPrime(Wide candidate) {
  if (candidate < 4) return candidate >= 2;
  if (candidate % 2 == 0) return false;
  Wide odd = candidate - 1;
  int twos = 0;
  for (; odd % 2 == 0; odd /= 2) ++twos;
  for (const Wide witness : {2u, 3u, 5u, 7u, 11u, 13u, 17u, 19u, 23u, 29u, 31u, 37u}) {
    Wide value = powerModulo(witness, odd, candidate);
    if (value == 1 || value == candidate - 1) continue;
    bool composite = true;
    for (int round = 1; round < twos && composite; ++round) {
      value = static_cast<Wide>(static_cast<unsigned __int128>(value) * value % candidate);
      composite = value != candidate - 1;
    }
    if (composite) return false;
  }
  return true;
}

Wide primeOfBits(velk::bench::Random& random, int bits) {
  for (;;) {
    const Wide candidate = (random.next() >> (64 - bits)) | (Wide{1} << (bits - 1)) | 1;
    if (isPrime(candidate)) return candidate;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t numbers = velk::bench::argument(argc, argv, 1, 1000);
  const std::size_t iterations = velk::bench::argument(argc, argv, 2, 4000);
  const velk::bench::Stopwatch stopwatch;
  velk::bench::Random random(7);
  std::uint64_t check = 0;
  for (std::size_t index = 0; index < numbers; ++index) {
    // A 22-bit prime, which rho finds after a few thousand steps, times larger ones.
    Number small = fromWide(primeOfBits(random, 22));
    Number middle = fromWide(primeOfBits(random, 40));
    Number large = fromWide(primeOfBits(random, 64));
    Number partial = multiply(small, middle);
    Number n = multiply(partial, large);
    for (Number number : {small, middle, large, partial}) std::free(number);
    if (Number factor = rho(n, index, iterations)) {
      for (std::uint32_t limb = 1; limb <= length(factor); ++limb)
        check = check * 31 + factor[limb];
      std::free(factor);
    }
    std::free(n);
  }
  velk::bench::report("bignum", stopwatch, check);
  return 0;
}
