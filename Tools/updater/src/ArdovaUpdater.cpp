/*
 * ArdovaUpdater: install the package carried by a signed disk image.
 *
 *	ArdovaUpdater <dmg filename> <signature filename>
 *
 * The signature file holds a raw PKCS #1 v1.5 RSA signature over the SHA-1
 * digest of the whole image, made with the private half of the key built
 * into this program.  The image is read once, in pieces of 131072 bytes
 * that go both into the digest and into a private copy that only the
 * caller can read.  Only when the signature verifies is the copy attached
 * with hdiutil, the Flat or Bundle package chosen by the kernel release,
 * installed on / with installer, and the image detached again.  What gets
 * installed is therefore exactly what was verified, whatever happens to
 * the named image file meanwhile.
 *
 * A signal that ends a run (HUP, INT, QUIT, TERM, ALRM, USR1, USR2, XCPU,
 * VTALRM, PROF) stops it at the next step: the command running is waited
 * for, what is attached is detached, the copy and the mount point are
 * removed, and the program ends by the same signal.
 */

// The low-level SHA-1, PEM and RSA calls are deprecated in OpenSSL 3 but
// present in every libcrypto the program runs against, and give the same
// results as their EVP equivalents.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <sys/types.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The update-signing public key, 800 characters of PEM text.
const char public_key_pem[] =
#include "public_key_pem.inc"
	;
// Checked when compiled: the key is 800 characters of PEM text, and
// signatures are made over SHA-1 digests.
typedef char public_key_is_800_characters[sizeof public_key_pem == 801 ? 1 : -1];
typedef char signatures_are_over_sha1[NID_sha1 == 64 ? 1 : -1];

const char hdiutil_attach_command_template[] = "hdiutil attach -mountpoint ";
const char search_prefix[] = "/dev/disk";

const size_t read_buffer_size = 131072;
const size_t line_size = 1024;

// The private copy: a new file only its owner can read, directly in /tmp,
// whose sticky bit keeps others from removing or replacing it.  No folder is
// made before the signature is known.
const char copy_template[] = "/tmp/ardova_updater_image.XXXXXX.dmg";
const int copy_suffix_length = 4;
const char mount_point_template[] = "/tmp/ardova_updater.XXXXXX";
const char flat_package[] = ".packages/Flat/Install Ardova NTFS.mpkg";
const char bundle_package[] = ".packages/Bundle/Install Ardova NTFS.mpkg";

// Every signal that ends a run by default and that a caller, a terminal or
// a limit may send; the faults are left alone, they mean a defect.
const int termination_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGALRM,
				   SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};
const size_t termination_signal_count = sizeof termination_signals / sizeof termination_signals[0];

// The first of the termination signals received, or 0.
volatile sig_atomic_t termination_received;

// What an update has made so far, which its clean-up takes back.
struct Update {
	char copy_path[sizeof copy_template];
	bool copy_exists;
	char mount_point[sizeof mount_point_template];
	bool mount_point_exists;
	char device[line_size];  // the attached image's, once attached
	bool attached;
};

bool open_standard_descriptors();
void reset_child_signal();
void catch_termination_signals();
void termination_signal_set(sigset_t *set);
bool catching(int signo);
void catch_termination(int signo);
void end_by_signal(int signo);
bool read_signature_file(const char *path, unsigned char **signature, int32_t *length);
int do_update(const char *image_path, const unsigned char *signature, int32_t signature_length);
int verify_into_copy(const char *image_path, const unsigned char *signature, int32_t signature_length,
		     Update *update);
int attach_copy(Update *update);
int install_package(const Update *update);
void clean_up(const Update *update);
int verify_update_image(const char *image_path, const unsigned char *signature,
			int32_t signature_length, int copy_fd, int *copy_error);
FILE *open_image(const char *image_path, int *result);
int not_a_regular_file(mode_t mode);
int digest_and_copy(FILE *image, unsigned char *buffer, SHA_CTX *sha, int copy_fd, int *copy_error);
int write_all(int fd, const void *bytes, size_t length);
bool wait_until_writable(int fd);
int check_signature(const unsigned char *digest, const unsigned char *signature,
		    int32_t signature_length, RSA *key);
int read_device_name(FILE *attach_output, char *device);
const char *choose_package(const char *release);
char *shell_command(const char *command, const char *arguments, const char *first, const char *second);
char *shell_quoted(const char *text);
void detach_image(const char *device);
int run_to_its_end(const char *command);
void take_terminal_signal(int status);
int error_or(int fallback);
void report_error(int err, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace

int main(int argc, char *argv[])
{
	// A descriptor 0, 1 or 2 left closed by the caller would be taken by
	// the image, the copy or a pipe, and the commands started would write
	// their output there or open files in its place.
	if (!open_standard_descriptors()) {
		report_error(errno, "Error while opening /dev/null");
		return 1;
	}
	reset_child_signal();

	if (argc != 3) {
		fputs("usage: ArdovaUpdater <dmg filename> <signature filename>\n", stderr);
		return 1;
	}

	int status = 1;
	unsigned char *signature;
	int32_t signature_length;
	// Until the update leaves something behind, a signal simply ends the
	// run, even one waiting for a FIFO's writer at the signature path.
	if (read_signature_file(argv[2], &signature, &signature_length)) {
		catch_termination_signals();
		int result = do_update(argv[1], signature, signature_length);
		if (result != 0)
			report_error(result, "Error while performing update");
		free(signature);
		status = result == 0 ? 0 : 1;
	}

	if (termination_received != 0)
		end_by_signal(termination_received);
	return status;
}

namespace {

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where the caller
// left them closed, so that no file this program opens takes one of their
// numbers.  False, with errno set, when /dev/null cannot be opened.
bool open_standard_descriptors()
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		// open() takes the lowest free descriptor: this very one.
		if (open("/dev/null", O_RDWR | O_NOCTTY) == -1)
			return false;
	}
	return true;
}

// A caller that ignores SIGCHLD passes that on, and the kernel would then
// reap hdiutil and installer before pclose and system could learn how they
// ended.
void reset_child_signal()
{
	struct sigaction action;
	memset(&action, 0, sizeof action);
	action.sa_handler = SIG_DFL;
	sigemptyset(&action.sa_mask);
	sigaction(SIGCHLD, &action, NULL);
}

// A signal that the caller chose to ignore stays ignored, as under nohup.
// Interrupted calls resume: the output of a running command is still read
// to its end and the command still waited for, so that what it attached is
// known and can be detached.
void catch_termination_signals()
{
	struct sigaction action;
	memset(&action, 0, sizeof action);
	action.sa_handler = catch_termination;
	action.sa_flags = SA_RESTART;
	termination_signal_set(&action.sa_mask);
	for (size_t i = 0; i < termination_signal_count; i++) {
		struct sigaction previous;
		if (sigaction(termination_signals[i], NULL, &previous) == 0 && previous.sa_handler != SIG_IGN)
			sigaction(termination_signals[i], &action, NULL);
	}
}

void termination_signal_set(sigset_t *set)
{
	sigemptyset(set);
	for (size_t i = 0; i < termination_signal_count; i++)
		sigaddset(set, termination_signals[i]);
}

// Whether signo is caught here, rather than left ignored for the caller.
bool catching(int signo)
{
	struct sigaction current;
	return sigaction(signo, NULL, &current) == 0 && current.sa_handler == catch_termination;
}

void catch_termination(int signo)
{
	if (termination_received == 0)
		termination_received = signo;
}

// Ends the process by signo's default action, so that the caller sees it
// ended by that signal.
void end_by_signal(int signo)
{
	signal(signo, SIG_DFL);
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, signo);
	sigprocmask(SIG_UNBLOCK, &set, NULL);
	kill(getpid(), signo);
	_exit(128 + signo);
}

// Reads the whole signature file into a new buffer.  On failure, says why
// on standard error and returns false with nothing left open or allocated.
bool read_signature_file(const char *path, unsigned char **signature, int32_t *length)
{
	FILE *file = fopen(path, "r");
	if (file == NULL) {
		report_error(errno, "Error while opening signature file '%s'", path);
		return false;
	}

	unsigned char *buffer = NULL;
	long end;
	size_t items;
	int err;

	if (fseek(file, 0, SEEK_END) != 0) {
		report_error(errno, "Error while seeking to end of signature file '%s'", path);
		goto fail;
	}
	end = ftell(file);
	// The length is a signed 32-bit count: a longer file is refused, as a
	// system with a 32-bit file position refuses it, never read in part.
	if (end == -1 || end > INT_MAX) {
		report_error(end == -1 ? errno : EOVERFLOW,
			     "Error while getting end position of signature file '%s'", path);
		goto fail;
	}
	*length = int32_t(end);

	// An empty file is no allocation failure; the read below refuses it.
	buffer = static_cast<unsigned char *>(malloc(*length > 0 ? size_t(*length) : 1));
	if (buffer == NULL) {
		report_error(errno, "Error while allocating %d bytes of memory for signature data buffer",
			     *length);
		goto fail;
	}
	if (fseek(file, 0, SEEK_SET) != 0) {
		report_error(errno, "Error while seeking to start of signature file '%s'", path);
		goto fail;
	}
	items = fread(buffer, size_t(*length), 1, file);
	err = errno;
	if (items != 1) {
		if (ferror(file))
			report_error(err, "Error while reading %d bytes of signature data from file", *length);
		else
			fprintf(stderr, "Unexpected EOF while reading %d bytes of signature data from file. Items read: %lu\n",
				*length, (unsigned long)items);
		goto fail;
	}

	fclose(file);
	*signature = buffer;
	return true;

fail:
	free(buffer);
	fclose(file);
	return false;
}

// Verifies the image into a private copy, attaches the copy, installs the
// package for this kernel and detaches the copy again, one step after the
// other, each taking the next only when it succeeded; then takes back what
// the steps made.  Returns 0 or an error number: 5 (EIO) for a signature
// that does not verify, a failed or silent attach; 6 (ENXIO) for a release
// it cannot read or a failed install; 4 (EINTR) for a run stopped by a
// signal before the package was installed; otherwise that of the call that
// failed.
int do_update(const char *image_path, const unsigned char *signature, int32_t signature_length)
{
	Update update;
	update.copy_exists = false;
	update.mount_point_exists = false;
	update.attached = false;

	int result = verify_into_copy(image_path, signature, signature_length, &update);
	if (result == 0)
		result = attach_copy(&update);
	if (result == 0)
		result = install_package(&update);
	// A failure that a signal brought about, such as a command ended by
	// the same Ctrl-C, is reported as the interruption it was.
	if (result != 0 && termination_received != 0)
		result = EINTR;
	clean_up(&update);
	return result;
}

// The image is read once, into a copy no one else can reach: the copy is
// what gets verified, attached and installed, whatever happens to the
// named image file meanwhile.  Whether the copy could be made counts only
// once the signature is known to be good.
int verify_into_copy(const char *image_path, const unsigned char *signature, int32_t signature_length,
		     Update *update)
{
	int copy_error = 0;
	memcpy(update->copy_path, copy_template, sizeof copy_template);
	const int copy_fd = mkstemps(update->copy_path, copy_suffix_length);
	if (copy_fd == -1)
		copy_error = error_or(EIO);
	else
		update->copy_exists = true;

	// Past the caller's file-size limit the copy fails with EFBIG, and is
	// removed, rather than end the run with it left behind; the commands
	// started later get the caller's setting.
	struct sigaction ignore, callers_sigxfsz;
	memset(&ignore, 0, sizeof ignore);
	ignore.sa_handler = SIG_IGN;
	sigemptyset(&ignore.sa_mask);
	sigaction(SIGXFSZ, &ignore, &callers_sigxfsz);
	int result = verify_update_image(image_path, signature, signature_length, copy_fd, &copy_error);
	sigaction(SIGXFSZ, &callers_sigxfsz, NULL);
	if (copy_fd != -1 && close(copy_fd) != 0 && copy_error == 0)
		copy_error = error_or(EIO);
	if (result == 0)
		result = copy_error;
	if (result == 0 && termination_received != 0)
		result = EINTR;
	return result;
}

// Attaches the copy at a new mount point and takes the device name from
// the attach command's output, which is read to its end.
int attach_copy(Update *update)
{
	memcpy(update->mount_point, mount_point_template, sizeof mount_point_template);
	if (mkdtemp(update->mount_point) == NULL)
		return error_or(EIO);
	update->mount_point_exists = true;

	char *attach_command =
		shell_command(hdiutil_attach_command_template, "\"%s\" \"%s\"", update->mount_point, update->copy_path);
	if (attach_command == NULL)
		return error_or(ENOMEM);
	int result;
	FILE *attach_output = popen(attach_command, "r");
	if (attach_output == NULL) {
		result = error_or(ENXIO);
	} else {
		result = read_device_name(attach_output, update->device);
		const bool device_named = result == 0;
		const int status = pclose(attach_output);
		if (result == 0 && status != 0)
			result = EIO;
		// A failed attach has nothing to detach; but one ended by a signal
		// after it named its device may have attached it.
		update->attached = result == 0 || (device_named && status != -1 && WIFSIGNALED(status));
	}
	free(attach_command);
	return result;
}

// Installs the package of the attached image that suits the running
// kernel, unless a signal came first.
int install_package(const Update *update)
{
	struct utsname system_name;
	if (uname(&system_name) != 0)
		return error_or(ENXIO);
	const char *package = choose_package(system_name.release);
	if (package == NULL)
		return ENXIO;
	char *installer_command = shell_command("installer -pkg ", "\"%s/%s\" -target /\n", update->mount_point, package);
	if (installer_command == NULL)
		return ENXIO;

	int result = 0;
	// The last moment to stop without having installed anything.
	if (termination_received != 0) {
		result = EINTR;
	} else {
		const int status = system(installer_command);
		if (status != 0)
			result = ENXIO;
		take_terminal_signal(status);
	}
	free(installer_command);
	return result;
}

// Takes back what the update made, on every path: the attached image, the
// mount point, the copy, which is as large as the image and said when it
// stays.
void clean_up(const Update *update)
{
	if (update->attached)
		detach_image(update->device);
	if (update->mount_point_exists)
		rmdir(update->mount_point);
	if (update->copy_exists && unlink(update->copy_path) != 0)
		report_error(errno, "Error while removing '%s'", update->copy_path);
}

// Checks the image against the signature with the built-in key, writing
// every byte it digests to copy_fd (none when it is -1).  Returns 0 when
// the signature is valid, 5 (EIO) when it is not, 4 (EINTR) when a signal
// stopped the reading, else the error of the step that failed.  A failure
// to write the copy does not stop the digest: it is left in *copy_error
// (unless one is there already) and the copy is written no further.
int verify_update_image(const char *image_path, const unsigned char *signature,
			int32_t signature_length, int copy_fd, int *copy_error)
{
	BIO *key_source = NULL;
	RSA *key = NULL;
	FILE *image = NULL;
	unsigned char *buffer = NULL;
	SHA_CTX sha;
	unsigned char digest[SHA_DIGEST_LENGTH];
	int result;

	// Older libcrypto takes the buffer as void *; it only reads it.
	key_source = BIO_new_mem_buf(const_cast<char *>(public_key_pem), sizeof public_key_pem);
	if (key_source == NULL) {
		result = ENOMEM;
		goto out;
	}
	key = PEM_read_bio_RSA_PUBKEY(key_source, NULL, NULL, NULL);
	if (key == NULL) {
		result = EIO;
		goto out;
	}
	image = open_image(image_path, &result);
	if (image == NULL)
		goto out;
	buffer = static_cast<unsigned char *>(malloc(read_buffer_size));
	if (buffer == NULL) {
		result = error_or(EIO);
		goto out;
	}
	if (SHA1_Init(&sha) != 1) {
		result = EIO;
		goto out;
	}
	result = digest_and_copy(image, buffer, &sha, copy_fd, copy_error);
	if (result != 0)
		goto out;
	if (SHA1_Final(digest, &sha) != 1) {
		result = EIO;
		goto out;
	}
	result = check_signature(digest, signature, signature_length, key);

out:
	free(buffer);
	if (image != NULL)
		fclose(image);
	RSA_free(key);
	BIO_free(key_source);
	return result;
}

// Opens the image for reading.  Only a regular file is read: a device such
// as /dev/zero never ends, and a FIFO has no end either and would keep the
// open waiting for a writer, so the open itself never waits.  On failure
// returns NULL with the error number in *result.
FILE *open_image(const char *image_path, int *result)
{
	const int fd = open(image_path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
	if (fd == -1) {
		*result = error_or(EIO);
		return NULL;
	}
	struct stat st;
	int flags;
	FILE *image = NULL;
	if (fstat(fd, &st) != 0 || (flags = fcntl(fd, F_GETFL)) == -1)
		*result = error_or(EIO);
	else if (!S_ISREG(st.st_mode))
		*result = not_a_regular_file(st.st_mode);
	else if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1 || (image = fdopen(fd, "rb")) == NULL)
		*result = error_or(EIO);
	if (image == NULL)
		close(fd);
	return image;
}

// The error number for an image that is not a regular file.
int not_a_regular_file(mode_t mode)
{
	if (S_ISDIR(mode))
		return EISDIR;
	if (S_ISFIFO(mode) || S_ISSOCK(mode))
		return ESPIPE;  // no file position, as a pipe has none
	return EINVAL;
}

// Adds every byte of the image to the digest and, while it can be written,
// to the copy, one buffer at a time.  How many bytes a read delivered is
// measured by the file position, so a short last read counts whole and a
// file whose size is a multiple of the buffer ends with a pass that adds
// nothing.  A full read must move the position by the whole buffer: one
// that does not advance would otherwise go on for ever.
int digest_and_copy(FILE *image, unsigned char *buffer, SHA_CTX *sha, int copy_fd, int *copy_error)
{
	for (;;) {
		if (termination_received != 0)
			return EINTR;
		off_t before = ftello(image);
		if (before == -1)
			return error_or(EIO);
		bool last = fread(buffer, read_buffer_size, 1, image) != 1;
		if (last && ferror(image))
			return EIO;
		off_t after = ftello(image);
		if (after == -1)
			return error_or(EIO);
		if (after < before || (last ? after - before > off_t(read_buffer_size)
					    : after - before != off_t(read_buffer_size)))
			return EIO;

		size_t count = size_t(after - before);
		if (SHA1_Update(sha, buffer, count) != 1)
			return EIO;
		if (copy_fd != -1 && *copy_error == 0)
			*copy_error = write_all(copy_fd, buffer, count);
		if (last)
			return 0;
	}
}

// Writes all of bytes to fd: a write cut short goes on where it stopped,
// one interrupted is made again, and a descriptor that does not block is
// waited for when full.  0, or the error number of the write that failed.
int write_all(int fd, const void *bytes, size_t length)
{
	const char *next = static_cast<const char *>(bytes);
	while (length > 0) {
		const ssize_t n = write(fd, next, length);
		if (n > 0) {
			next += n;
			length -= size_t(n);
		} else if (n == 0) {
			return EIO;
		} else if (errno == EAGAIN || errno == EWOULDBLOCK) {
			if (!wait_until_writable(fd))
				return errno;
		} else if (errno != EINTR) {
			return errno;
		}
	}
	return 0;
}

// Waits until fd takes more bytes; false, with errno set, when it cannot
// be waited for.  select rather than poll: the platform's poll does not take
// every kind of descriptor (terminals).
bool wait_until_writable(int fd)
{
	for (;;) {
		fd_set writable;
		FD_ZERO(&writable);
		FD_SET(fd, &writable);
		const int ready = select(fd + 1, NULL, &writable, NULL, NULL);
		if (ready > 0)
			return true;
		if (ready < 0 && errno != EINTR)
			return false;
	}
}

// RSA_verify is given a copy of the signature, so the caller's buffer is
// never written.  Only 1 counts as valid: no other answer may pass for a
// good signature.
int check_signature(const unsigned char *digest, const unsigned char *signature,
		    int32_t signature_length, RSA *key)
{
	unsigned char *copy = static_cast<unsigned char *>(malloc(size_t(signature_length)));
	if (copy == NULL)
		return EIO;
	memcpy(copy, signature, size_t(signature_length));
	int valid = RSA_verify(NID_sha1, digest, SHA_DIGEST_LENGTH, copy, unsigned(signature_length), key);
	free(copy);
	return valid == 1 ? 0 : EIO;
}

// Reads the attach command's output to its end and takes the device name
// from the first line that begins with search_prefix: the text before its
// first blank, tab or line end.  A line longer than the buffer arrives in
// pieces, each tested like a line of its own.  device has room for
// line_size bytes.
int read_device_name(FILE *attach_output, char *device)
{
	char line[line_size];
	bool found = false;

	while (fgets(line, sizeof line, attach_output) != NULL) {
		if (!found && strncmp(line, search_prefix, strlen(search_prefix)) == 0) {
			memcpy(device, line, strlen(line) + 1);
			found = true;
		}
	}
	if (ferror(attach_output) || !found)
		return EIO;
	device[strcspn(device, " \t\n")] = '\0';
	return 0;
}

// The package for a kernel release such as "12.5.0": Flat from release
// 12.5 on, Bundle before it.  Major and minor are the digits before and
// after the first '.'; a second '.' ends the release, and a number too
// large for an int counts as the largest int.  Any other character before
// the second '.' makes it a release this program cannot judge: NULL.
const char *choose_package(const char *release)
{
	int numbers[2] = {0, 0};
	int which = 0;

	for (const char *p = release; *p != '\0'; p++) {
		if (*p == '.') {
			if (++which == 2)
				break;
		} else if (*p >= '0' && *p <= '9') {
			int digit = *p - '0';
			int &number = numbers[which];
			number = number > (INT_MAX - digit) / 10 ? INT_MAX : number * 10 + digit;
		} else {
			return NULL;
		}
	}

	int major = numbers[0], minor = numbers[1];
	return major > 12 || (major == 12 && minor > 4) ? flat_package : bundle_package;
}

// A command line for /bin/sh in a new string: command, then arguments,
// a format whose two %s fields take first and second (NULL: empty)
// quoted by shell_quoted.
char *shell_command(const char *command, const char *arguments, const char *first, const char *second)
{
	char *quoted_first = shell_quoted(first);
	char *quoted_second = shell_quoted(second != NULL ? second : "");
	char *line = NULL;

	if (quoted_first != NULL && quoted_second != NULL) {
		size_t command_length = strlen(command);
		int arguments_length = snprintf(NULL, 0, arguments, quoted_first, quoted_second);
		if (arguments_length >= 0)
			line = static_cast<char *>(malloc(command_length + size_t(arguments_length) + 1));
		if (line != NULL) {
			memcpy(line, command, command_length);
			snprintf(line + command_length, size_t(arguments_length) + 1, arguments, quoted_first,
				 quoted_second);
		}
	}
	free(quoted_first);
	free(quoted_second);
	return line;
}

// text for use between double quotes in a /bin/sh command: the four
// characters that keep a meaning there ($ ` " \) get a backslash, so any
// path, newlines included, reaches the command unchanged.
char *shell_quoted(const char *text)
{
	char *quoted = static_cast<char *>(malloc(2 * strlen(text) + 1));
	if (quoted == NULL)
		return NULL;
	char *q = quoted;
	for (const char *p = text; *p != '\0'; p++) {
		if (strchr("$`\"\\", *p) != NULL)
			*q++ = '\\';
		*q++ = *p;
	}
	*q = '\0';
	return quoted;
}

// Whether the detach works changes nothing in the result.  A detach that
// could not be run is tried once more, and one that still cannot leaves
// the image attached: that is said, with its device.
void detach_image(const char *device)
{
	char *command = shell_command("hdiutil detach ", "\"%s\"", device, NULL);
	int err = command != NULL ? run_to_its_end(command) : ENOMEM;
	if (err != 0 && err != ENOENT && command != NULL)
		err = run_to_its_end(command);
	free(command);
	if (err != 0)
		report_error(err, "Error while detaching '%s', which stays attached", device);
}

// Runs command with system(); 0 when it ran to its end, whatever its exit
// status.  Otherwise why not: the error number when it could not be
// started, ENOENT when the shell found nothing to run, EINTR when it was
// ended by a signal.
int run_to_its_end(const char *command)
{
	errno = 0;
	const int status = system(command);
	take_terminal_signal(status);
	if (status == -1)
		return error_or(EAGAIN);
	if (WIFSIGNALED(status))
		return EINTR;
	if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
		return ENOENT;
	return 0;
}

// system() ignores SIGINT and SIGQUIT while it waits: a Ctrl-C or a
// Ctrl-\ at the terminal shows only as the command's shell ended by it,
// and is taken as that signal received here.
void take_terminal_signal(int status)
{
	if (status != -1 && WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT) &&
	    catching(WTERMSIG(status)))
		catch_termination(WTERMSIG(status));
}

// The error number the failed call just left, or fallback when it left none.
int error_or(int fallback)
{
	return errno != 0 ? errno : fallback;
}

// One line on standard error, written at once: the message, then the
// error's text and number.  err is the failed call's errno, taken before
// anything else ran.  The message is made on the stack, so that one about
// memory running out is whole; a longer one gets memory of its own, or
// without it is cut.
void report_error(int err, const char *format, ...)
{
	char line[1024];
	va_list args;
	va_start(args, format);
	const int length = vsnprintf(line, sizeof line, format, args);
	va_end(args);
	char *longer = NULL;
	if (length >= int(sizeof line)) {
		longer = static_cast<char *>(malloc(size_t(length) + 1));
		if (longer != NULL) {
			va_start(args, format);
			vsnprintf(longer, size_t(length) + 1, format, args);
			va_end(args);
		}
	}
	const char *message = longer != NULL ? longer : length >= 0 ? line : format;
	fprintf(stderr, "%s: %s (%d)\n", message, strerror(err), err);
	free(longer);
}

}  // namespace
