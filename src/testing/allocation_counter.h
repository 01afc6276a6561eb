#pragma once

// Counts every heap allocation of the test program that links it, by operator new and
// by ICU, so that a test can check that an operation allocates nothing. The program's
// global allocation functions are replaced: link it only into test programs that
// check allocations (target korvane_allocation_counter).

namespace testing_support {

// Allocations made so far, by any thread.
long AllocationCount();
// True when ICU's allocations are counted too (ICU accepted the counting functions).
bool IcuAllocationsCounted();

}  // namespace testing_support
