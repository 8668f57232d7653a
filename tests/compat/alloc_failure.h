// Allocation failures on demand: while armed, one allocation of the test
// program's global operator new fails, the one after the given number that
// succeed (the nothrow forms return null, the others throw std::bad_alloc);
// the others succeed.
#pragma once

namespace alloc_failure {

void arm(long successes);
// Whether the failure came.
bool disarm();

}  // namespace alloc_failure
