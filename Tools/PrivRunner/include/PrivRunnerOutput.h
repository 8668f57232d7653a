/*
 * Reader for the output stream of PrivRunner(8): the runner's process id,
 * the utility's process id, its exit value or the runner's error code, and
 * the utility's standard output and standard error, byte for byte.
 * See readPrivRunnerOutput(3).
 */
#ifndef PRIVRUNNER_OUTPUT_H
#define PRIVRUNNER_OUTPUT_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct RunnerResult {
	int32_t hasPid, pid, hasChildPid, childPid, hasError, errorCode, hasExitValue, exitValue;
} RunnerResult;

typedef void (*PrivRunnerDataHandler)(const char *bytes, unsigned long length);

int readPrivRunnerOutput(FILE *stream, RunnerResult *result,
			 PrivRunnerDataHandler stdoutHandler,
			 PrivRunnerDataHandler stderrHandler);

#ifdef __cplusplus
}
#endif

#endif
