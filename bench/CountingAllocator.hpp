// Heap allocation counting for the benchmarks. The benchmark program replaces
// the global operator new and delete (CountingAllocator.cpp); while counting
// is armed every allocation is counted, so a benchmark can report how many
// allocations one iteration of the code it measures makes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tact::bench {

// Starts counting from zero.
void armAllocationCount();
// Stops counting and returns the allocations made since armAllocationCount().
std::uint64_t disarmAllocationCount();
// The allocations counted since armAllocationCount(), counting on.
std::uint64_t allocationCount();

// Called for every counted allocation. It does nothing; it is there so that
// a debugger can stop on it (`break tact::bench::countedAllocation`) and show
// where an allocation in a measured loop comes from.
void countedAllocation(std::size_t size);

}  // namespace tact::bench
