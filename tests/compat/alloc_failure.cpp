// The replaced allocation functions behind alloc_failure.h.
#include "alloc_failure.h"

#include <cstdlib>
#include <new>

namespace {

bool armed = false;
long before_failure = 0;

void *allocate(size_t n)
{
	if (armed && before_failure-- == 0)
		return nullptr;
	return malloc(n ? n : 1);
}

}  // namespace

namespace alloc_failure {

void arm(long successes)
{
	before_failure = successes;
	armed = true;
}

bool disarm()
{
	armed = false;
	return before_failure < 0;
}

}  // namespace alloc_failure

void *operator new(size_t n)
{
	if (void *p = allocate(n))
		return p;
	throw std::bad_alloc();
}

void *operator new(size_t n, const std::nothrow_t &) noexcept
{
	return allocate(n);
}

void operator delete(void *p) noexcept
{
	free(p);
}

void operator delete(void *p, size_t) noexcept
{
	free(p);
}
