// Which slot of the call sequence a traced pointer names while it is live: a hash table with open
// addressing, made for the replay's pattern of one insert and one erase per allocation, millions
// of times. Pointer 0 (null) is never a key: it marks an empty cell.
#pragma once

#include <cstdint>
#include <vector>

namespace velk::replay {

class PointerSlots {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};

  PointerSlots() : cells_(1024) {}

  std::uint32_t find(std::uint64_t pointer) const {
    for (std::size_t at = home(pointer);; at = next(at)) {
      if (cells_[at].pointer == pointer) return cells_[at].slot;
      if (cells_[at].pointer == 0) return kNone;
    }
  }

  // Sets the slot of `pointer`, which must not be in the table.
  void insert(std::uint64_t pointer, std::uint32_t slot) {
    if (2 * (count_ + 1) > cells_.size()) grow();
    std::size_t at = home(pointer);
    while (cells_[at].pointer != 0) at = next(at);
    cells_[at] = {pointer, slot};
    ++count_;
  }

  // Takes `pointer` out; false when it was not in the table.
  bool erase(std::uint64_t pointer) {
    std::size_t at = home(pointer);
    while (cells_[at].pointer != pointer) {
      if (cells_[at].pointer == 0) return false;
      at = next(at);
    }
    // Backward shift: move later cells of the probe chain into the hole, so that no lookup meets
    // an empty cell before its key.
    for (std::size_t from = next(at);; from = next(from)) {
      if (cells_[from].pointer == 0) break;
      const std::size_t wanted = home(cells_[from].pointer);
      const bool movable =
          at <= from ? (wanted <= at || wanted > from) : (wanted <= at && wanted > from);
      if (movable) {
        cells_[at] = cells_[from];
        at = from;
      }
    }
    cells_[at] = {0, 0};
    --count_;
    return true;
  }

 private:
  struct Cell {
    std::uint64_t pointer;
    std::uint32_t slot;
  };

  std::size_t home(std::uint64_t pointer) const {
    // Payloads are aligned, so their low bits say little; a multiplicative hash spreads them.
    return static_cast<std::size_t>((pointer * 0x9E3779B97F4A7C15ull) >> 32) & (cells_.size() - 1);
  }
  std::size_t next(std::size_t at) const { return (at + 1) & (cells_.size() - 1); }

  void grow() {
    std::vector<Cell> old(cells_.size() * 2);
    old.swap(cells_);
    count_ = 0;
    for (const Cell& cell : old) {
      if (cell.pointer != 0) insert(cell.pointer, cell.slot);
    }
  }

  std::vector<Cell> cells_;
  std::size_t count_ = 0;
};

}  // namespace velk::replay
