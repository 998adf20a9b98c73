// The replaced global allocation functions of the benchmark program. They
// allocate with malloc (aligned_alloc for over-aligned types), as the
// library's own would, and count while counting is armed.
#include "bench/CountingAllocator.hpp"

#include <cstdlib>
#include <new>

namespace tact::bench {
namespace {

// The benchmarks run on one thread; these are only read and written there.
bool gArmed = false;
std::uint64_t gCount = 0;

void* allocate(std::size_t size) {
    if (gArmed) {
        ++gCount;
        countedAllocation(size);
    }
    return std::malloc(size == 0 ? 1 : size);
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    if (gArmed) {
        ++gCount;
        countedAllocation(size);
    }
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    return std::aligned_alloc(align, rounded == 0 ? align : rounded);
}

}  // namespace

void armAllocationCount() {
    gCount = 0;
    gArmed = true;
}

std::uint64_t disarmAllocationCount() {
    gArmed = false;
    return gCount;
}

std::uint64_t allocationCount() {
    return gCount;
}

__attribute__((noinline)) void countedAllocation(std::size_t size) {
    asm volatile("" : : "r"(size) : "memory");  // kept as a real call for the debugger
}

}  // namespace tact::bench

using tact::bench::allocate;
using tact::bench::allocateAligned;

void* operator new(std::size_t size) {
    if (void* p = allocate(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = allocate(size))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    if (void* p = allocateAligned(size, alignment))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    if (void* p = allocateAligned(size, alignment))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAligned(size, alignment);
}

void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
