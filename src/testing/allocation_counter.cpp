#include "testing/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include <unicode/uclean.h>

namespace {

std::atomic<long> gAllocations{0};

void* CountingMalloc(const void*, size_t size) {
  ++gAllocations;
  return std::malloc(size);
}

void* CountingRealloc(const void*, void* block, size_t size) {
  ++gAllocations;
  return std::realloc(block, size);
}

void CountingFree(const void*, void* block) { std::free(block); }

// Installed during static initialisation, before ICU has allocated anything.
const bool kIcuCounted = [] {
  UErrorCode status = U_ZERO_ERROR;
  u_setMemoryFunctions(nullptr, CountingMalloc, CountingRealloc, CountingFree, &status);
  return U_SUCCESS(status);
}();

}  // namespace

// The program's replacements of the global allocation functions: counted, otherwise
// plain malloc and free. Every unaligned form is replaced, so that each allocation and
// its release go through the same pair. (Kept out of the test files so that no caller
// inlines them.)
namespace {

void* CountedAllocation(std::size_t size) noexcept {
  ++gAllocations;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* block = CountedAllocation(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* block = CountedAllocation(size)) return block;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace testing_support {

long AllocationCount() { return gAllocations.load(); }
bool IcuAllocationsCounted() { return kIcuCounted; }

}  // namespace testing_support
