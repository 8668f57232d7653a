// readPrivRunnerOutput on any bytes: it must never read outside what it
// holds, hand out more than the stream carried, or leak.
#include "PrivRunnerOutput.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

size_t handed_out;
unsigned checksum;

void take(const char *bytes, unsigned long length)
{
	for (unsigned long i = 0; i < length; i++)
		checksum += (unsigned char)bytes[i];  // touches every byte of the body
	handed_out += length;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// Every rejected input is reported on standard error; millions of such
	// lines would drown the fuzzer's own.  Its reports go to descriptor 2,
	// which stays.
	stderr = fopen("/dev/null", "w");
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	char *copy = static_cast<char *>(malloc(size + 1));
	memcpy(copy, data, size);
	FILE *stream = fmemopen(copy, size, "r");
	if (stream == nullptr) {
		free(copy);
		return 0;
	}
	RunnerResult result;
	handed_out = 0;
	const int ret = readPrivRunnerOutput(stream, &result, take, size % 2 ? take : nullptr);
	if (ret != 0 && ret != 1)
		abort();
	if (handed_out > size)
		abort();
	if (result.hasPid > 1 || result.hasChildPid > 1 || result.hasError > 1 || result.hasExitValue > 1)
		abort();
	fclose(stream);
	free(copy);
	return 0;
}
