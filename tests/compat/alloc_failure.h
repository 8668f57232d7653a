// Allocation failures on demand: the global operator new of the test
// program fails, while armed, from the budget-th allocation on (the nothrow
// forms return null, the others throw std::bad_alloc).
#pragma once

namespace alloc_failure {

void arm(long budget);
void disarm();

}  // namespace alloc_failure
