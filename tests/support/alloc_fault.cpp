#include "tests/support/alloc_fault.h"

#include <cstdlib>
#include <new>

namespace {

bool g_counting = false;
uint32_t g_calls = 0;
uint32_t g_failAt = 0;
std::size_t g_largest = 0;

// Null when the armed countdown says this allocation fails.
void* Allocate(std::size_t size) {
  if (g_counting && size > g_largest) g_largest = size;
  if (g_counting && ++g_calls == g_failAt) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* AllocateOrThrow(std::size_t size) {
  void* block = Allocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

void AllocFaultArm(uint32_t nth) {
  g_calls = 0;
  g_largest = 0;
  g_failAt = nth;
  g_counting = true;
}

uint32_t AllocFaultDisarm() {
  g_counting = false;
  g_failAt = 0;
  return g_calls;
}

std::size_t AllocFaultLargest() { return g_largest; }

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
