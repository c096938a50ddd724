// Counts heap allocations made through operator new between Start and Stop.
// Link support/AllocationCounter.cpp into a test program to use it: it
// replaces the global allocation operators of that program.
#pragma once

namespace veltane::testing {

void StartCountingAllocations();
long StopCountingAllocations();  // the allocations since Start

}  // namespace veltane::testing
