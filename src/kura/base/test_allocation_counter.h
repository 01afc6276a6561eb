#pragma once

// Test support for the collation tests: counts every heap allocation of the test
// program, by operator new and by ICU, so that a test can check that an operation
// allocates nothing. Linked only into the test program.

namespace kura::testing_support {

// Allocations made so far, by any thread.
long AllocationCount();
// True when ICU's allocations are counted too (ICU accepted the counting functions).
bool IcuAllocationsCounted();

}  // namespace kura::testing_support
