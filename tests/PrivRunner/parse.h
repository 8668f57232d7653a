// A runner stream read through readPrivRunnerOutput, with everything the
// reader hands out collected: handler calls, the result record, and what it
// wrote on standard error.
#pragma once

#include "PrivRunnerOutput.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace privrunner_test {

struct Parsed {
	int ret = -1;
	RunnerResult result{};
	std::string out;                                  // STDOUT bodies, joined
	std::string err;                                  // STDERR bodies, joined
	std::vector<std::pair<char, std::string>> calls;  // 'O' or 'E' and the body, in order
	std::string messages;                             // the reader's standard error
};

// Every field set to a value no stream gives, to see what the reader leaves.
inline RunnerResult untouched()
{
	return RunnerResult{9, 0x5a5a5a5a, 9, 0x5a5a5a5a, 9, 0x5a5a5a5a, 9, 0x5a5a5a5a};
}

inline Parsed *collecting = nullptr;

inline void on_stdout(const char *bytes, unsigned long length)
{
	collecting->out.append(bytes, length);
	collecting->calls.emplace_back('O', std::string(bytes, length));
}

inline void on_stderr(const char *bytes, unsigned long length)
{
	collecting->err.append(bytes, length);
	collecting->calls.emplace_back('E', std::string(bytes, length));
}

// Reads stream with the given handlers (both collecting by default).
inline Parsed parse_stream(FILE *stream, RunnerResult initial = untouched(),
			   PrivRunnerDataHandler out = on_stdout, PrivRunnerDataHandler err = on_stderr)
{
	Parsed p;
	p.result = initial;
	collecting = &p;
	testing::internal::CaptureStderr();
	p.ret = readPrivRunnerOutput(stream, &p.result, out, err);
	p.messages = testing::internal::GetCapturedStderr();
	collecting = nullptr;
	return p;
}

inline Parsed parse(const std::string &stream, RunnerResult initial = untouched(),
		    PrivRunnerDataHandler out = on_stdout, PrivRunnerDataHandler err = on_stderr)
{
	std::string copy = stream;  // fmemopen wants a writable buffer
	FILE *f = fmemopen(copy.data(), copy.size(), "r");
	if (f == nullptr) {
		ADD_FAILURE() << "fmemopen failed";
		return {};
	}
	Parsed p = parse_stream(f, initial, out, err);
	fclose(f);
	return p;
}

// The frames the runner writes for bytes: one per byte.
inline std::string frames(std::string_view tag, std::string_view bytes)
{
	std::string s;
	for (char c : bytes) {
		s.append(tag).append(": 1\n");
		s.push_back(c);
		s.push_back('\n');
	}
	return s;
}

// One frame holding all of bytes.
inline std::string frame(std::string_view tag, std::string_view bytes)
{
	return std::string(tag) + ": " + std::to_string(bytes.size()) + "\n" + std::string(bytes) + "\n";
}

}  // namespace privrunner_test
