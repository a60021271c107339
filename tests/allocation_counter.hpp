#pragma once
// Counts every operator new of the test binary that links allocation_counter.cpp while
// counting is switched on.
namespace allocation_counter {
void Start();
long Stop();  // allocations since Start
}  // namespace allocation_counter
