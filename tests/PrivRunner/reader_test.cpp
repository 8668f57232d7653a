// readPrivRunnerOutput on streams made in memory.
#include "parse.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

using namespace privrunner_test;

namespace {

constexpr int32_t kUntouched = 0x5a5a5a5a;

TEST(Reader, EmptyStreamClearsTheFlagsAndNothingElse)
{
	Parsed p = parse("");
	EXPECT_EQ(p.ret, 1);
	EXPECT_EQ(p.result.hasPid, 0);
	EXPECT_EQ(p.result.hasChildPid, 0);
	EXPECT_EQ(p.result.hasError, 0);
	EXPECT_EQ(p.result.hasExitValue, 0);
	EXPECT_EQ(p.result.pid, kUntouched);
	EXPECT_EQ(p.result.childPid, kUntouched);
	EXPECT_EQ(p.result.errorCode, kUntouched);
	EXPECT_EQ(p.result.exitValue, kUntouched);
	EXPECT_TRUE(p.calls.empty());
	EXPECT_EQ(p.messages, "");
}

TEST(Reader, WholeRunOfTheUtility)
{
	Parsed p = parse("PID: 7\nPID: 7\nCHILDPID: 8\n" + frames("STDOUT", "ok\n") + frames("STDERR", "no") +
			 "EXITVALUE: 0\n");
	EXPECT_EQ(p.ret, 1);
	EXPECT_EQ(p.result.hasPid, 1);
	EXPECT_EQ(p.result.pid, 7);
	EXPECT_EQ(p.result.hasChildPid, 1);
	EXPECT_EQ(p.result.childPid, 8);
	EXPECT_EQ(p.result.hasExitValue, 1);
	EXPECT_EQ(p.result.exitValue, 0);
	EXPECT_EQ(p.result.hasError, 0);
	EXPECT_EQ(p.result.errorCode, kUntouched);
	EXPECT_EQ(p.out, "ok\n");
	EXPECT_EQ(p.err, "no");
	EXPECT_EQ(p.calls.size(), 5u);
	EXPECT_EQ(p.messages, "");
}

TEST(Reader, RunnerFailureBeforeTheUtility)
{
	Parsed p = parse("PID: 41\nERROR: 2 Could not setuid(0)\n");
	EXPECT_EQ(p.ret, 1);
	EXPECT_EQ(p.result.hasPid, 1);
	EXPECT_EQ(p.result.pid, 41);
	EXPECT_EQ(p.result.hasError, 1);
	EXPECT_EQ(p.result.errorCode, 2);
	EXPECT_EQ(p.result.hasChildPid, 0);
	EXPECT_EQ(p.result.hasExitValue, 0);
	EXPECT_EQ(p.messages, "");
}

TEST(Reader, StatusLinesDoNotStopTheReadingAndLaterOnesWin)
{
	Parsed p = parse("ERROR: 10 Failed\nPID: 1\nEXITVALUE: 4\n" + frames("STDOUT", "a") +
			 "PID: 2\nERROR: -1\nEXITVALUE: 5\nCHILDPID: 3\nCHILDPID: 4\n" + frames("STDERR", "b"));
	EXPECT_EQ(p.ret, 1);
	EXPECT_EQ(p.result.pid, 2);
	EXPECT_EQ(p.result.childPid, 4);
	EXPECT_EQ(p.result.errorCode, -1);
	EXPECT_EQ(p.result.exitValue, 5);
	EXPECT_EQ(p.out, "a");
	EXPECT_EQ(p.err, "b");
}

TEST(Reader, LineFeedBodyAndEmptyBody)
{
	Parsed lf = parse("STDOUT: 1\n\n\n");
	EXPECT_EQ(lf.ret, 1);
	ASSERT_EQ(lf.calls.size(), 1u);
	EXPECT_EQ(lf.calls[0], std::make_pair('O', std::string("\n")));

	Parsed empty = parse("STDERR: 0\n\nSTDOUT: 0\n\n");
	EXPECT_EQ(empty.ret, 1);
	ASSERT_EQ(empty.calls.size(), 2u);
	EXPECT_EQ(empty.calls[0], std::make_pair('E', std::string()));
	EXPECT_EQ(empty.calls[1], std::make_pair('O', std::string()));
	EXPECT_EQ(empty.messages, "");
}

TEST(Reader, BodiesOfAnyLengthAndAnyBytes)
{
	std::string all;
	for (int i = 0; i < 256; i++)
		all.push_back(char(i));
	std::string big(1 << 20, '\0');
	std::mt19937 random(4);
	for (char &c : big)
		c = char(random());
	const std::string nuls("\0\0a\0\n\0", 6);

	Parsed p = parse(frames("STDOUT", all) + frame("STDERR", big) + frame("STDOUT", nuls) +
			 frames("STDERR", nuls));
	EXPECT_EQ(p.ret, 1) << p.messages;
	EXPECT_EQ(p.out, all + nuls);
	EXPECT_TRUE(p.err == big + nuls) << "STDERR bytes differ";
	EXPECT_EQ(p.calls.size(), 256u + 1 + 1 + 6);
}

TEST(Reader, LastLineWithoutLineFeed)
{
	Parsed p = parse("PID: 3\n" + frames("STDOUT", "x") + "EXITVALUE: 9");
	EXPECT_EQ(p.ret, 1);
	EXPECT_EQ(p.result.hasExitValue, 1);
	EXPECT_EQ(p.result.exitValue, 9);
	EXPECT_EQ(p.out, "x");
}

TEST(Reader, MatchingRules)
{
	struct Case {
		std::string line;
		int32_t RunnerResult::*value;
		int32_t expected;
	};
	const Case cases[] = {
		{"PID:5\n", &RunnerResult::pid, 5},
		{"PID:\t \v\f\r -12 and more\n", &RunnerResult::pid, -12},
		{"PID: +7x\n", &RunnerResult::pid, 7},
		{"PID: 0x10\n", &RunnerResult::pid, 0},
		{"ERROR: 2\n", &RunnerResult::errorCode, 2},
		{"ERROR:-1\n", &RunnerResult::errorCode, -1},
		{"EXITVALUE: 255 \n", &RunnerResult::exitValue, 255},
		{"CHILDPID: 2147483647\n", &RunnerResult::childPid, 2147483647},
		// Cut to 32 bits.
		{"CHILDPID: 4294967297\n", &RunnerResult::childPid, 1},
		{"EXITVALUE: -2147483649\n", &RunnerResult::exitValue, 2147483647},
		{"EXITVALUE: 2147483648\n", &RunnerResult::exitValue, -2147483647 - 1},
		// Beyond 64 bits the number is held at the 64-bit limit first.
		{"PID: 99999999999999999999999\n", &RunnerResult::pid, -1},
		{"PID: -99999999999999999999999\n", &RunnerResult::pid, 0},
	};
	for (const Case &c : cases) {
		Parsed p = parse(c.line);
		EXPECT_EQ(p.ret, 1) << c.line;
		EXPECT_EQ(p.result.*c.value, c.expected) << c.line;
		EXPECT_EQ(p.messages, "") << c.line;
	}
}

TEST(Reader, UnrecognizedLines)
{
	const char *lines[] = {
		"pid: 5\n",     " PID: 5\n",       "PID : 5\n",  "PID 5\n",     "PID:\n",
		"PID: -\n",     "PID: +-3\n",      "PIDX: 1\n",  "Error: 3\n",  "STDOUT: one\n",
		"stdout: 1\n",  "STDOUT 1\n",      "\n",         "hello\n",     "EXITVALUE:\n",
	};
	for (const char *line : lines) {
		Parsed p = parse(std::string("PID: 6\n") + line + "EXITVALUE: 1\n");
		EXPECT_EQ(p.ret, 0) << line;
		EXPECT_EQ(p.messages, std::string("Unrecognized line: \"") + line + "\"\n");
		EXPECT_EQ(p.result.hasPid, 1);
		EXPECT_EQ(p.result.pid, 6);
		EXPECT_EQ(p.result.hasExitValue, 0) << "read on after the bad line";
		EXPECT_EQ(p.result.exitValue, kUntouched);
	}

	// A last line without its line feed is shown as it is.
	Parsed last = parse("PID: 6\nhello");
	EXPECT_EQ(last.ret, 0);
	EXPECT_EQ(last.messages, "Unrecognized line: \"hello\"\n");
}

TEST(Reader, NulByteEndsWhatIsMatchedAndShown)
{
	Parsed number = parse(std::string("PID: 1\0002\n", 9));
	EXPECT_EQ(number.ret, 1);
	EXPECT_EQ(number.result.pid, 1);

	Parsed shown = parse(std::string("PID:\0 5\n", 8));
	EXPECT_EQ(shown.ret, 0);
	EXPECT_EQ(shown.messages, "Unrecognized line: \"PID:\"\n");
}

TEST(Reader, FrameNotClosedByALoneLineFeed)
{
	struct Case {
		std::string stream;
		std::string message;
	};
	const Case cases[] = {
		{"STDOUT: 1\nAx\n", "STDOUT data chunk didn't end with a newline. currentLineSize=2 currentLine[0]=0x78\n"},
		{"STDERR: 1\nAx\n", "STDERR data chunk didn't end with a newline. currentLineSize=2 currentLine[0]=0x78\n"},
		{"STDOUT: 2\nA\nB\n", "STDOUT data chunk didn't end with a newline. currentLineSize=2 currentLine[0]=0x42\n"},
		{"STDOUT: 0\nfoo bar\n", "STDOUT data chunk didn't end with a newline. currentLineSize=8 currentLine[0]=0x66\n"},
		{"STDOUT: 1\nAx", "STDOUT data chunk didn't end with a newline. currentLineSize=1 currentLine[0]=0x78\n"},
		{"STDERR: 1\nA\x7f\n", "STDERR data chunk didn't end with a newline. currentLineSize=2 currentLine[0]=0x7F\n"},
		{"STDERR: 1\nA\x80\n", "STDERR data chunk didn't end with a newline. currentLineSize=2 currentLine[0]=0xFFFFFF80\n"},
		{"STDOUT: 1\nA\xc3\xa9\n", "STDOUT data chunk didn't end with a newline. currentLineSize=3 currentLine[0]=0xFFFFFFC3\n"},
		{"STDOUT: 1\nA\xff", "STDOUT data chunk didn't end with a newline. currentLineSize=1 currentLine[0]=0xFFFFFFFF\n"},
		{std::string("STDOUT: 1\nA\0\n", 14), "STDOUT data chunk didn't end with a newline. currentLineSize=2 currentLine[0]=0x0\n"},
		{"STDOUT: 1\nA" + std::string(9999, 'y') + "\n",
		 "STDOUT data chunk didn't end with a newline. currentLineSize=10000 currentLine[0]=0x79\n"},
	};
	for (const Case &c : cases) {
		// Whatever follows is not read.
		const std::string after = c.stream.ends_with('\n') ? "EXITVALUE: 0\n" : "";
		Parsed p = parse("PID: 1\n" + frames("STDOUT", "ok") + c.stream + after);
		EXPECT_EQ(p.ret, 0) << c.stream;
		EXPECT_EQ(p.messages, c.message);
		EXPECT_EQ(p.out, "ok") << "the failing frame reached a handler";
		EXPECT_EQ(p.err, "");
		EXPECT_EQ(p.result.hasExitValue, 0);
	}
}

TEST(Reader, StreamEndsInsideAFrame)
{
	struct Case {
		std::string stream;
		std::string message;
	};
	const Case cases[] = {
		{"STDOUT: 1\n", "STDOUT data chunk cut short: the stream ended after 0 of 1 bytes\n"},
		{"STDOUT: 5\nabc", "STDOUT data chunk cut short: the stream ended after 3 of 5 bytes\n"},
		{"STDERR: 1", "STDERR data chunk cut short: the stream ended after 0 of 1 bytes\n"},
		{"STDERR: 1\nA", "STDERR data chunk cut short: the stream ended before its closing newline\n"},
		{"STDOUT: 0\n", "STDOUT data chunk cut short: the stream ended before its closing newline\n"},
		{"STDOUT: 16777216\nabc", "STDOUT data chunk cut short: the stream ended after 3 of 16777216 bytes\n"},
	};
	for (const Case &c : cases) {
		Parsed p = parse("CHILDPID: 3\n" + frames("STDERR", "e") + c.stream);
		EXPECT_EQ(p.ret, 0) << c.stream;
		EXPECT_EQ(p.messages, c.message);
		EXPECT_EQ(p.result.childPid, 3);
		EXPECT_EQ(p.err, "e");
		EXPECT_EQ(p.out, "");
	}
}

TEST(Reader, FrameLengthOutOfRange)
{
	struct Case {
		std::string header;
		std::string message;
	};
	const Case cases[] = {
		{"STDOUT: -1\n", "STDOUT data chunk length -1 is out of range (0 to 16777216)\n"},
		{"STDERR: 16777217\n", "STDERR data chunk length 16777217 is out of range (0 to 16777216)\n"},
		{"STDOUT: 99999999999999999999\n",
		 "STDOUT data chunk length 9223372036854775807 is out of range (0 to 16777216)\n"},
		{"STDERR: -99999999999999999999\n",
		 "STDERR data chunk length -9223372036854775808 is out of range (0 to 16777216)\n"},
	};
	for (const Case &c : cases) {
		// Enough bytes after the header for a reader that tried anyway.
		Parsed p = parse(c.header + std::string(64, 'z') + "\nEXITVALUE: 0\n");
		EXPECT_EQ(p.ret, 0) << c.header;
		EXPECT_EQ(p.messages, c.message);
		EXPECT_TRUE(p.calls.empty());
		EXPECT_EQ(p.result.hasExitValue, 0);
	}

	// The bound itself is allowed.
	std::string body(16777216, 'b');
	Parsed p = parse(frame("STDOUT", body));
	EXPECT_EQ(p.ret, 1) << p.messages;
	EXPECT_EQ(p.out.size(), body.size());
}

TEST(Reader, InterleavedStreamsKeepTheirOwnOrder)
{
	std::string out, err;
	for (int i = 0; i < 300; i++) {
		out += char('a' + i % 26);
		err += char('0' + i % 10);
	}
	std::mt19937 random(7);
	for (int round = 0; round < 20; round++) {
		std::string stream = "PID: 1\nCHILDPID: 2\n";
		size_t o = 0, e = 0;
		while (o < out.size() || e < err.size()) {
			bool take_out = e == err.size() || (o < out.size() && random() % 2);
			if (take_out)
				stream += frames("STDOUT", out.substr(o++, 1));
			else
				stream += frames("STDERR", err.substr(e++, 1));
		}
		stream += "EXITVALUE: 0\n";
		Parsed p = parse(stream);
		EXPECT_EQ(p.ret, 1);
		EXPECT_EQ(p.out, out);
		EXPECT_EQ(p.err, err);
	}
}

TEST(Reader, AbsentHandlersDropTheBodies)
{
	const std::string stream = frames("STDOUT", "abc") + frames("STDERR", "de") + "EXITVALUE: 2\n";
	Parsed none = parse(stream, untouched(), nullptr, nullptr);
	EXPECT_EQ(none.ret, 1);
	EXPECT_EQ(none.result.exitValue, 2);
	EXPECT_TRUE(none.calls.empty());

	Parsed only_err = parse(stream, untouched(), nullptr, on_stderr);
	EXPECT_EQ(only_err.ret, 1);
	EXPECT_EQ(only_err.out, "");
	EXPECT_EQ(only_err.err, "de");
}

TEST(Reader, TruncatedAtEveryBytePosition)
{
	// Cut at a line or frame boundary, the stream is whole as far as it
	// goes; cut inside a frame, the read fails and that frame reaches no
	// handler.  A status line cut short may still match.
	struct Piece {
		std::string text;
		bool frame;
	};
	const Piece pieces[] = {
		{"PID: 120\n", false},     {"PID: 120\n", false},   {"CHILDPID: 121\n", false},
		{frame("STDOUT", "A"), true}, {frame("STDERR", "\n"), true}, {frame("STDOUT", std::string("\0b", 2)), true},
		{frame("STDERR", ""), true},   {"EXITVALUE: 37\n", false},
	};
	std::string stream;
	for (const Piece &piece : pieces)
		stream += piece.text;

	for (size_t cut = 0; cut <= stream.size(); cut++) {
		Parsed p = parse(stream.substr(0, cut));
		size_t at = 0;
		std::string out, err;
		bool inside_frame = false;
		for (const Piece &piece : pieces) {
			if (at + piece.text.size() <= cut) {
				if (piece.frame) {
					size_t start = piece.text.find('\n') + 1;
					std::string body = piece.text.substr(start, piece.text.size() - start - 1);
					(piece.text[3] == 'O' ? out : err) += body;
				}
			} else if (at < cut) {
				inside_frame = piece.frame;
			}
			at += piece.text.size();
		}
		SCOPED_TRACE("cut at " + std::to_string(cut));
		EXPECT_EQ(p.out, out);
		EXPECT_EQ(p.err, err);
		if (inside_frame) {
			EXPECT_EQ(p.ret, 0);
			EXPECT_NE(p.messages, "");
		}
		if (cut == stream.size()) {
			EXPECT_EQ(p.ret, 1);
			EXPECT_EQ(p.result.exitValue, 37);
		}
		EXPECT_EQ(p.ret == 1, p.messages.empty()) << p.messages;
	}
}

TEST(Reader, LongLines)
{
	// Only the start of a line is kept; a long status line still counts.
	Parsed error = parse("ERROR: 3 " + std::string(100000, 'x') + "\nEXITVALUE: 1\n");
	EXPECT_EQ(error.ret, 1);
	EXPECT_EQ(error.result.errorCode, 3);
	EXPECT_EQ(error.result.exitValue, 1);

	// An unrecognised one is shown by its first 4096 bytes.
	std::string junk(10000, 'j');
	Parsed p = parse(junk + "\n");
	EXPECT_EQ(p.ret, 0);
	EXPECT_EQ(p.messages, "Unrecognized line: \"" + junk.substr(0, 4096) + "\"\n");
}

TEST(Reader, NumberCutAtTheLineLimitIsNeverUsed)
{
	// Digits that run on past the 4096 bytes kept of a line make no number:
	// the line is unrecognised, whatever it begins with.
	struct Case {
		std::string line;
		std::string kept;
	};
	const Case cut[] = {
		{"PID:" + std::string(4090, ' ') + "12345\n", "PID:" + std::string(4090, ' ') + "12"},
		{"STDOUT:" + std::string(4088, ' ') + "0123\n", "STDOUT:" + std::string(4088, ' ') + "0"},
		{"EXITVALUE:" + std::string(4084, '\t') + "-10\n", "EXITVALUE:" + std::string(4084, '\t') + "-1"},
		{"ERROR:" + std::string(4000, '0') + std::string(200, '7') + " text\n",
		 "ERROR:" + std::string(4000, '0') + std::string(90, '7')},
	};
	for (const Case &c : cut) {
		Parsed p = parse("CHILDPID: 4\n" + c.line + frames("STDOUT", "a") + "EXITVALUE: 0\n");
		EXPECT_EQ(p.ret, 0) << c.line.substr(0, 10);
		EXPECT_EQ(p.messages, "Unrecognized line: \"" + c.kept + "\"\n");
		EXPECT_EQ(p.result.hasPid, 0);
		EXPECT_EQ(p.result.hasError, 0);
		EXPECT_EQ(p.result.hasExitValue, 0);
		EXPECT_TRUE(p.calls.empty());
	}

	// A number whose last digit is the last byte kept is whole.
	const std::string blanks(4096 - 4 - 5, ' ');
	Parsed whole = parse("PID:" + blanks + "12345\nCHILDPID:" + blanks.substr(5) + "67890 and text\n" +
			     "STDOUT:" + std::string(4096 - 7 - 1, ' ') + "1\nx\n");
	EXPECT_EQ(whole.ret, 1) << whole.messages;
	EXPECT_EQ(whole.result.pid, 12345);
	EXPECT_EQ(whole.result.childPid, 67890);
	EXPECT_EQ(whole.out, "x");
}

// A stream of prefix, then count times the byte fill, then suffix, made as
// it is read: lines far larger than memory cost nothing to hold.
FILE *generated_stream(const std::string &prefix, char fill, unsigned long long count, const std::string &suffix)
{
	struct Source {
		std::string prefix;
		char fill;
		unsigned long long count;
		std::string suffix;
		unsigned long long at = 0;
	};
	cookie_io_functions_t io{};
	io.read = [](void *cookie, char *buf, size_t size) -> ssize_t {
		auto *s = static_cast<Source *>(cookie);
		size_t n = 0;
		while (n < size) {
			unsigned long long at = s->at;
			if (at < s->prefix.size()) {
				buf[n++] = s->prefix[at];
			} else if ((at -= s->prefix.size()) < s->count) {
				const size_t run = size_t(std::min<unsigned long long>(size - n, s->count - at));
				memset(buf + n, s->fill, run);
				n += run;
				s->at += run;
				continue;
			} else if ((at -= s->count) < s->suffix.size()) {
				buf[n++] = s->suffix[at];
			} else {
				break;
			}
			s->at++;
		}
		return ssize_t(n);
	};
	io.close = [](void *cookie) {
		delete static_cast<Source *>(cookie);
		return 0;
	};
	FILE *f = fopencookie(new Source{prefix, fill, count, suffix}, "r", io);
	if (f != nullptr)
		setvbuf(f, nullptr, _IOFBF, 1 << 20);
	return f;
}

TEST(Reader, LineOfFourGibibytes)
{
	// 2^32 bytes, line feed included: the size a 32-bit count wraps to 0,
	// which would read as the end of the stream.
	const unsigned long long line = 1ULL << 32;
	const std::string head = "ERROR: 3 ";
	FILE *f = generated_stream("PID: 1\n" + head, 'x', line - head.size() - 1,
				   "\nEXITVALUE: 0\nERROR: 7 after\n" + frame("STDOUT", "A") + "B");
	ASSERT_NE(f, nullptr);
	Parsed p = parse_stream(f);
	fclose(f);
	EXPECT_EQ(p.ret, 0);
	EXPECT_EQ(p.result.errorCode, 7);
	EXPECT_EQ(p.result.hasExitValue, 1);
	EXPECT_EQ(p.result.exitValue, 0);
	EXPECT_EQ(p.out, "A");
	EXPECT_EQ(p.messages, "Unrecognized line: \"B\"\n");
}

// A stream that gives the bytes of data and then fails with EIO.
FILE *failing_stream(const std::string &data)
{
	struct Source {
		std::string data;
		size_t at = 0;
	};
	cookie_io_functions_t io{};
	io.read = [](void *cookie, char *buf, size_t size) -> ssize_t {
		auto *s = static_cast<Source *>(cookie);
		if (s->at == s->data.size()) {
			errno = EIO;
			return -1;
		}
		size_t n = std::min(size, s->data.size() - s->at);
		memcpy(buf, s->data.data() + s->at, n);
		s->at += n;
		return ssize_t(n);
	};
	io.close = [](void *cookie) {
		delete static_cast<Source *>(cookie);
		return 0;
	};
	return fopencookie(new Source{data}, "r", io);
}

TEST(Reader, ReadErrorIsAFailureWherever)
{
	const std::string eio = "Couldn't read the runner's output stream: 5 (Input/output error)\n";
	const std::string cuts[] = {
		"PID: 1\n",                  // between lines
		"PID: 1\nCHILD",             // inside a line
		"PID: 1\nSTDOUT: 3\nab",     // inside a body
		"PID: 1\nSTDOUT: 1\na",      // before the closing line feed
	};
	for (const std::string &cut : cuts) {
		FILE *f = failing_stream(cut);
		ASSERT_NE(f, nullptr);
		Parsed p = parse_stream(f);
		fclose(f);
		EXPECT_EQ(p.ret, 0) << cut;
		EXPECT_EQ(p.messages, eio) << cut;
		EXPECT_EQ(p.result.pid, 1);
		EXPECT_TRUE(p.calls.empty());
	}

	// A folder opens but cannot be read.
	FILE *dir = fopen("/", "r");
	ASSERT_NE(dir, nullptr);
	Parsed p = parse_stream(dir);
	fclose(dir);
	EXPECT_EQ(p.ret, 0);
	EXPECT_EQ(p.messages, "Couldn't read the runner's output stream: 21 (Is a directory)\n");
}

TEST(Reader, LeavesTheStreamOpenAtItsEnd)
{
	std::string text = "PID: 1\n" + frames("STDOUT", "hi") + "EXITVALUE: 0\n";
	FILE *f = fmemopen(text.data(), text.size(), "r");
	ASSERT_NE(f, nullptr);
	Parsed p = parse_stream(f);
	EXPECT_EQ(p.ret, 1);
	EXPECT_EQ(ftell(f), long(text.size()));
	EXPECT_EQ(getc(f), EOF);
	EXPECT_EQ(fclose(f), 0);
}

TEST(Reader, NoStreamOrNoRecord)
{
	RunnerResult r = untouched();
	testing::internal::CaptureStderr();
	EXPECT_EQ(readPrivRunnerOutput(nullptr, &r, nullptr, nullptr), 0);
	FILE *f = fopen("/dev/null", "r");
	EXPECT_EQ(readPrivRunnerOutput(f, nullptr, nullptr, nullptr), 0);
	fclose(f);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "readPrivRunnerOutput: no stream or no result record given\n"
		  "readPrivRunnerOutput: no stream or no result record given\n");
	EXPECT_EQ(r.hasPid, 9);
}

}  // namespace
