/*
 * readPrivRunnerOutput: take apart the output stream of PrivRunner.
 *
 * The stream is a sequence of text lines ("PID: 12\n", "CHILDPID: 13\n",
 * "ERROR: 2 ...\n", "EXITVALUE: 0\n") and data frames: a header line
 * "STDOUT: n\n" or "STDERR: n\n", n raw bytes, and one closing line feed.
 * The reader fills the result record from the lines and hands each frame's
 * body to the handler of its stream.
 *
 * Written in C, so that the library needs no C++ run-time and the static
 * library links into any C program as it is.
 */
#define _POSIX_C_SOURCE 200112L

#include "PrivRunnerOutput.h"

#include <errno.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* The longest body the reader holds.  The runner writes one byte per frame;
 * a larger length is no stream of the runner's, and the reader refuses it
 * before it holds anything. */
static const long long max_body_length = 16LL * 1024 * 1024;

/* Only the beginning of a line matters for matching; the rest of a longer
 * line is counted but not kept, so no line can make the reader hold much. */
enum { line_keep = 4096 };

/* Counts of bytes that a line or the stream may pass: wider than size_t on
 * 32-bit systems, where a line of 4 GiB would wrap a size_t to 0. */
typedef unsigned long long byte_count;

/* Bodies up to this length are read byte by byte. */
static const size_t small_chunk = 64;

typedef struct Line {
	char text[line_keep + 1];  /* the line's first bytes, ended with a NUL byte */
	byte_count size;           /* length of the whole line, line feed included */
	int first_not_kept;        /* the byte after those kept, or EOF */
} Line;

typedef enum ReadResult { read_ok, read_end, read_failed } ReadResult;

/* A frame body; the buffer grows with what actually arrives, never ahead. */
typedef struct Body {
	char *bytes;
	size_t capacity;
} Body;

typedef struct Pattern {
	const char *keyword;  /* with its colon */
	int32_t *flag;        /* a status line: the field it sets */
	int32_t *value;
	const char *tag;      /* a frame header: the frame's tag and handler */
	PrivRunnerDataHandler handler;
} Pattern;

static void report_read_error(int err)
{
	fprintf(stderr, "Couldn't read the runner's output stream: %d (%s)\n", err, strerror(err));
}

/* Reads one line: up to and including the next line feed, or to the end of
 * the stream for a last line without one.  A read error is reported here.
 * The caller holds the stream's lock. */
static ReadResult read_line(FILE *stream, Line *line)
{
	byte_count size = 0;
	int c = EOF;
	line->first_not_kept = EOF;
	while ((c = getc_unlocked(stream)) != EOF) {
		if (size < line_keep)
			line->text[size] = (char)c;
		else if (size == line_keep)
			line->first_not_kept = c;
		size++;
		if (c == '\n')
			break;
	}
	line->text[size < line_keep ? size : line_keep] = '\0';
	line->size = size;
	if (c == EOF) {
		const int err = errno;
		if (ferror(stream)) {
			report_read_error(err);
			return read_failed;
		}
	}
	return size == 0 ? read_end : read_ok;
}

static bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool is_digit(int c)
{
	return c >= '0' && c <= '9';
}

/* Matches "KEYWORD:", optional white space and a decimal number with an
 * optional sign; whatever follows the number is ignored.  The number is
 * held at the limits of 64 bits when it is larger.  A number that runs on
 * past the bytes kept of the line is not known whole, and is no match. */
static bool match_number(const Line *line, const char *keyword, long long *number)
{
	const char *p = line->text;
	for (; *keyword != '\0'; keyword++, p++) {
		if (*p != *keyword)
			return false;
	}
	while (is_blank(*p))
		p++;
	const bool negative = *p == '-';
	if (*p == '-' || *p == '+')
		p++;
	if (!is_digit(*p))
		return false;
	const unsigned long long limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
	unsigned long long magnitude = 0;
	for (; is_digit(*p); p++) {
		const unsigned digit = (unsigned)(*p - '0');
		magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
	}
	if (p == line->text + line_keep && is_digit(line->first_not_kept))
		return false;
	*number = negative ? (long long)(0 - magnitude) : (long long)magnitude;
	return true;
}

/* The low 32 bits, as a two's-complement number. */
static int32_t cut_to_32_bits(long long number)
{
	return (int32_t)(uint32_t)(unsigned long long)number;
}

/* Reads exactly length bytes into body.  A short count is the end of the
 * stream, or a failure (reported here) when the stream says so.  The caller
 * holds the stream's lock. */
static ReadResult read_body(FILE *stream, const char *tag, Body *body, size_t length, size_t *got)
{
	*got = 0;
	while (*got < length) {
		size_t chunk = length - *got;
		if (chunk > 65536)
			chunk = 65536;
		if (body->capacity < *got + chunk) {
			size_t capacity = body->capacity * 2;
			if (capacity < *got + chunk)
				capacity = *got + chunk;
			if (capacity > length)
				capacity = length;
			char *bytes = realloc(body->bytes, capacity);
			if (bytes == NULL) {
				const int err = errno;
				fprintf(stderr, "Couldn't hold a %s data chunk of %zu bytes: %d (%s)\n", tag,
					length, err, strerror(err));
				return read_failed;
			}
			body->bytes = bytes;
			body->capacity = capacity;
		}
		size_t n = 0;
		if (chunk <= small_chunk) {
			/* The runner's frames hold one byte: spare them a call to fread. */
			int c = EOF;
			while (n < chunk && (c = getc_unlocked(stream)) != EOF)
				body->bytes[*got + n++] = (char)c;
		} else {
			n = fread(body->bytes + *got, 1, chunk, stream);
		}
		const int err = errno;
		*got += n;
		if (n < chunk && ferror(stream)) {
			report_read_error(err);
			return read_failed;
		}
		if (n < chunk)
			return read_end;
	}
	return read_ok;
}

/* Reads one frame after its header: the body, then the lone line feed that
 * closes it.  Only a whole frame reaches the handler. */
static bool read_frame(FILE *stream, const char *tag, long long length, Body *body, Line *line,
		       PrivRunnerDataHandler handler)
{
	if (length < 0 || length > max_body_length) {
		fprintf(stderr, "%s data chunk length %lld is out of range (0 to %lld)\n", tag, length,
			max_body_length);
		return false;
	}
	size_t got = 0;
	switch (read_body(stream, tag, body, (size_t)length, &got)) {
	case read_ok:
		break;
	case read_end:
		fprintf(stderr, "%s data chunk cut short: the stream ended after %zu of %lld bytes\n", tag,
			got, length);
		return false;
	case read_failed:
		return false;
	}

	switch (read_line(stream, line)) {
	case read_ok:
		break;
	case read_end:
		fprintf(stderr, "%s data chunk cut short: the stream ended before its closing newline\n", tag);
		return false;
	case read_failed:
		return false;
	}
	if (line->size != 1 || line->text[0] != '\n') {
		fprintf(stderr, "%s data chunk didn't end with a newline. currentLineSize=%llu currentLine[0]=0x%X\n",
			tag, line->size, (unsigned)(int)(signed char)line->text[0]);
		return false;
	}
	if (handler != NULL)
		handler(length > 0 ? body->bytes : "", (unsigned long)length);
	return true;
}

/* Reads the stream to its end; false at the first framing error. */
static bool read_stream(FILE *stream, RunnerResult *result, PrivRunnerDataHandler stdout_handler,
			PrivRunnerDataHandler stderr_handler, Body *body, Line *line)
{
	/* Tried in this order; the first that matches wins. */
	const Pattern patterns[] = {
		{"PID:", &result->hasPid, &result->pid, NULL, NULL},
		{"CHILDPID:", &result->hasChildPid, &result->childPid, NULL, NULL},
		{"ERROR:", &result->hasError, &result->errorCode, NULL, NULL},
		{"EXITVALUE:", &result->hasExitValue, &result->exitValue, NULL, NULL},
		{"STDOUT:", NULL, NULL, "STDOUT", stdout_handler},
		{"STDERR:", NULL, NULL, "STDERR", stderr_handler},
	};
	const size_t pattern_count = sizeof patterns / sizeof patterns[0];
	for (;;) {
		switch (read_line(stream, line)) {
		case read_ok:
			break;
		case read_end:
			return true;
		case read_failed:
			return false;
		}

		const Pattern *match = NULL;
		long long number = 0;
		for (size_t i = 0; i < pattern_count; i++) {
			if (match_number(line, patterns[i].keyword, &number)) {
				match = &patterns[i];
				break;
			}
		}
		if (match == NULL) {
			fprintf(stderr, "Unrecognized line: \"%s\"\n", line->text);
			return false;
		}
		if (match->flag != NULL) {
			*match->value = cut_to_32_bits(number);
			*match->flag = 1;
		} else if (!read_frame(stream, match->tag, number, body, line, match->handler)) {
			return false;
		}
	}
}

int readPrivRunnerOutput(FILE *stream, RunnerResult *result, PrivRunnerDataHandler stdoutHandler,
			 PrivRunnerDataHandler stderrHandler)
{
	if (stream == NULL || result == NULL) {
		fprintf(stderr, "readPrivRunnerOutput: no stream or no result record given\n");
		return 0;
	}
	result->hasPid = 0;
	result->hasChildPid = 0;
	result->hasError = 0;
	result->hasExitValue = 0;

	/* One lock for the whole read rather than one per byte; handlers run
	 * with it held and may still use the stream from this thread. */
	Line line;
	Body body = {NULL, 0};
	flockfile(stream);
	const bool ok = read_stream(stream, result, stdoutHandler, stderrHandler, &body, &line);
	funlockfile(stream);
	free(body.bytes);
	return ok ? 1 : 0;
}
