// playground STAGE [COMMAND [ARG...]]: the private root that scripts/try
// opens, made with the tests' own sandbox.  STAGE is a staged install
// (DESTDIR=STAGE cmake --install BUILD); the script "setup" lays it out
// inside with volumes, stand-ins and samples, then runs COMMAND, or an
// interactive shell.  This process becomes the sandbox: the exit status is
// the command's or the shell's.
#include "sandbox.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef EXAMPLES_DIR
#error "EXAMPLES_DIR must name the folder of the built example clients"
#endif

int main(int argc, char *argv[])
{
	if (argc < 2) {
		fprintf(stderr, "usage: playground STAGE [COMMAND [ARG...]]\n");
		return 2;
	}
	const std::string reason = sandbox::unavailable_reason(true);
	if (!reason.empty()) {
		fprintf(stderr, "scripts/try: the playground %s\n", reason.c_str());
		return 1;
	}
	const std::string stage = argv[1];
	if (access((stage + "/usr/local/sbin").c_str(), F_OK) != 0) {
		fprintf(stderr, "scripts/try: no staged install in %s (scripts/try makes one)\n", stage.c_str());
		return 1;
	}

	sandbox::Sandbox box;
	box.dirs = {"/Library", "/Library/Logs", "/var/run", "/usr/local", "/tmp", "/Volumes", "/samples", "/stub"};
	box.ro_binds = {{stage, "/sandbox/stage"}, {EXAMPLES_DIR, "/sandbox/examples"}};
	// The installed programs first, then the stand-ins for hdiutil and
	// installer, before anything of this machine's that has their names.
	box.env = {"PATH=/usr/local/sbin:/usr/local/bin:" + std::string(sandbox::kSupport) +
		   ":/usr/sbin:/usr/bin:/sbin:/bin"};
	if (const char *term = getenv("TERM"))
		box.env.push_back(std::string("TERM=") + term);

	std::vector<std::string> command = {"/bin/sh", std::string(sandbox::kSupport) + "/playground/setup"};
	command.insert(command.end(), argv + 2, argv + argc);
	box.exec(command);
	fprintf(stderr, "scripts/try: cannot run bwrap: %s\n", strerror(errno));
	return 127;
}
