#include "heap/address_space.h"

namespace velk {
namespace {

class SystemAddressSpace final : public AddressSpace {
 public:
  explicit constexpr SystemAddressSpace(pal::Access access) : access_(access) {}
  void* reserve(std::size_t size) override { return pal::reserve(size, access_); }
  bool queryRegion(std::uintptr_t address, pal::Region& region) override {
    return pal::queryRegion(address, region);
  }
  // A release the system refuses leaves the range reserved; nothing above can do better.
  void release(std::uintptr_t base) override { pal::release(base); }
  // A discard the system refuses leaves the pages where they were, which is still correct.
  void discard(std::uintptr_t base, std::size_t size) override {
    pal::discard(reinterpret_cast<void*>(base), size);
  }
  std::size_t pageSize() override { return pal::pageSize(); }

 private:
  pal::Access access_;
};

// Constant-initialised, so a heap constructed during any other static initialisation finds them.
constinit SystemAddressSpace executableSpace{pal::Access::kExecutable};
constinit SystemAddressSpace dataSpace{pal::Access::kData};

}  // namespace

AddressSpace& systemAddressSpace(pal::Access access) {
  return access == pal::Access::kExecutable ? executableSpace : dataSpace;
}

}  // namespace velk
