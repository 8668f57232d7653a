/*
 * ArdovaUpdater: install the package carried by a signed disk image.
 *
 *	ArdovaUpdater <dmg filename> <signature filename>
 *
 * The signature file holds a raw PKCS #1 v1.5 RSA signature over the SHA-1
 * digest of the whole image, made with the private half of the key built
 * into this program.  The image is read once, in pieces of 131072 bytes
 * that go both into the digest and into a private copy in a folder that
 * only the caller can enter.  Only when the signature verifies is the copy
 * attached with hdiutil, the Flat or Bundle package chosen by the kernel
 * release, installed on / with installer, and the image detached again.
 * What gets installed is therefore exactly what was verified, whatever
 * happens to the named image file meanwhile.
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
#include <sys/utsname.h>

#include <fcntl.h>
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

const char copy_name[] = "update.dmg";
const char flat_package[] = ".packages/Flat/Install Ardova NTFS.mpkg";
const char bundle_package[] = ".packages/Bundle/Install Ardova NTFS.mpkg";

bool read_signature_file(const char *path, unsigned char **signature, int32_t *length);
int do_update(const char *image_path, const unsigned char *signature, int32_t signature_length);
int verify_update_image(const char *image_path, const unsigned char *signature,
			int32_t signature_length, int copy_fd);
int digest_and_copy(FILE *image, unsigned char *buffer, SHA_CTX *sha, int copy_fd);
int write_all(int fd, const unsigned char *data, size_t count);
int check_signature(const unsigned char *digest, const unsigned char *signature,
		    int32_t signature_length, RSA *key);
int read_device_name(FILE *attach_output, char *device);
const char *choose_package(const char *release);
char *shell_command(const char *command, const char *arguments, const char *first, const char *second);
char *shell_quoted(const char *text);
void detach_image(const char *device);
int error_or(int fallback);
void report_error(int err, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace

int main(int argc, char *argv[])
{
	if (argc != 3) {
		fputs("usage: ArdovaUpdater <dmg filename> <signature filename>\n", stderr);
		return 1;
	}

	unsigned char *signature;
	int32_t signature_length;
	if (!read_signature_file(argv[2], &signature, &signature_length))
		return 1;

	int result = do_update(argv[1], signature, signature_length);
	if (result != 0)
		report_error(result, "Error while performing update");

	free(signature);
	return result == 0 ? 0 : 1;
}

namespace {

/*
 * Reads the whole signature file into a new buffer.  On failure, says why
 * on standard error and returns false with nothing left open or allocated.
 */
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
	if (end == -1 || end > INT32_MAX) {
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

/*
 * Verifies the image into a private copy, attaches the copy, installs the
 * package for this kernel and detaches the copy again.  Returns 0 or an
 * error number: 5 (EIO) for a signature that does not verify, a failed or
 * silent attach; 6 (ENXIO) for a release it cannot read or a failed
 * install; otherwise that of the call that failed.
 */
int do_update(const char *image_path, const unsigned char *signature, int32_t signature_length)
{
	char copy_folder[] = "/tmp/ardova_updater_image.XXXXXX";
	char copy_path[sizeof copy_folder + sizeof copy_name];
	char mount_point[] = "/tmp/ardova_updater.XXXXXX";
	char device[line_size];
	bool copy_folder_exists = false, copy_exists = false;
	bool mount_point_exists = false, attached = false;
	int copy_fd = -1;
	char *attach_command = NULL;
	FILE *attach_output = NULL;
	struct utsname system_name;
	const char *package;
	char *installer_command = NULL;
	int result;

	// The image is read once, into a copy no one else can reach: the copy
	// is what gets verified, attached and installed.
	if (mkdtemp(copy_folder) == NULL) {
		result = error_or(EIO);
		goto out;
	}
	copy_folder_exists = true;
	snprintf(copy_path, sizeof copy_path, "%s/%s", copy_folder, copy_name);
	copy_fd = open(copy_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
	if (copy_fd == -1) {
		result = error_or(EIO);
		goto out;
	}
	copy_exists = true;

	result = verify_update_image(image_path, signature, signature_length, copy_fd);
	if (result != 0)
		goto out;
	result = close(copy_fd) == 0 ? 0 : error_or(EIO);
	copy_fd = -1;
	if (result != 0)
		goto out;

	if (mkdtemp(mount_point) == NULL) {
		result = error_or(EIO);
		goto out;
	}
	mount_point_exists = true;

	attach_command = shell_command(hdiutil_attach_command_template, "\"%s\" \"%s\"", mount_point, copy_path);
	if (attach_command == NULL) {
		result = error_or(ENOMEM);
		goto out;
	}
	attach_output = popen(attach_command, "r");
	if (attach_output == NULL) {
		result = error_or(ENXIO);
		goto out;
	}
	result = read_device_name(attach_output, device);
	if (result != 0)
		goto out;
	result = pclose(attach_output) == 0 ? 0 : EIO;
	attach_output = NULL;
	if (result != 0)
		goto out;
	attached = true;

	if (uname(&system_name) != 0) {
		result = error_or(ENXIO);
		goto out;
	}
	package = choose_package(system_name.release);
	if (package == NULL) {
		result = ENXIO;
		goto out;
	}

	installer_command = shell_command("installer -pkg ", "\"%s/%s\" -target /\n", mount_point, package);
	if (installer_command == NULL || system(installer_command) != 0)
		result = ENXIO;

out:
	free(installer_command);
	if (attach_output != NULL)
		pclose(attach_output);
	if (attached)
		detach_image(device);
	if (mount_point_exists)
		rmdir(mount_point);
	free(attach_command);
	if (copy_fd != -1)
		close(copy_fd);
	if (copy_exists)
		unlink(copy_path);
	if (copy_folder_exists)
		rmdir(copy_folder);
	return result;
}

/*
 * Checks the image against the signature with the built-in key, writing
 * every byte it digests to copy_fd.  Returns 0 when the signature is
 * valid, 5 (EIO) when it is not, else the error of the step that failed.
 */
int verify_update_image(const char *image_path, const unsigned char *signature,
			int32_t signature_length, int copy_fd)
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
	image = fopen(image_path, "rb");
	if (image == NULL) {
		result = error_or(EIO);
		goto out;
	}
	buffer = static_cast<unsigned char *>(malloc(read_buffer_size));
	if (buffer == NULL) {
		result = error_or(EIO);
		goto out;
	}
	if (SHA1_Init(&sha) != 1) {
		result = EIO;
		goto out;
	}
	result = digest_and_copy(image, buffer, &sha, copy_fd);
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

/*
 * Adds every byte of the image to the digest and to the copy, one buffer
 * at a time.  How many bytes a read delivered is measured by the file
 * position, so a short last read counts whole and a file whose size is a
 * multiple of the buffer ends with a pass that adds nothing.
 */
int digest_and_copy(FILE *image, unsigned char *buffer, SHA_CTX *sha, int copy_fd)
{
	for (;;) {
		off_t before = ftello(image);
		if (before == -1)
			return error_or(EIO);
		bool last = fread(buffer, read_buffer_size, 1, image) != 1;
		if (last && ferror(image))
			return EIO;
		off_t after = ftello(image);
		if (after == -1)
			return error_or(EIO);
		if (after < before || after - before > off_t(read_buffer_size))
			return EIO;

		size_t count = size_t(after - before);
		if (SHA1_Update(sha, buffer, count) != 1)
			return EIO;
		int result = write_all(copy_fd, buffer, count);
		if (result != 0)
			return result;
		if (last)
			return 0;
	}
}

int write_all(int fd, const unsigned char *data, size_t count)
{
	while (count > 0) {
		ssize_t written = write(fd, data, count);
		if (written == -1 && errno == EINTR)
			continue;
		if (written <= 0)
			return written == -1 ? error_or(EIO) : EIO;
		data += written;
		count -= size_t(written);
	}
	return 0;
}

/*
 * RSA_verify is given a copy of the signature, so the caller's buffer is
 * never written.  Only 1 counts as valid: no other answer may pass for a
 * good signature.
 */
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

/*
 * Reads the attach command's output to its end and takes the device name
 * from the first line that begins with search_prefix: the text before its
 * first blank, tab or line end.  A line longer than the buffer arrives in
 * pieces, each tested like a line of its own.  device has room for
 * line_size bytes.
 */
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

/*
 * The package for a kernel release such as "12.5.0": Flat from release
 * 12.5 on, Bundle before it.  Major and minor are the digits before and
 * after the first '.'; a second '.' ends the release, and a number too
 * large for an int counts as the largest int.  Any other character before
 * the second '.' makes it a release this program cannot judge: NULL.
 */
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

/*
 * A command line for /bin/sh in a new string: command, then arguments,
 * a format whose two %s fields take first and second (NULL: empty)
 * quoted by shell_quoted.
 */
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

/*
 * text for use between double quotes in a /bin/sh command: the four
 * characters that keep a meaning there ($ ` " \) get a backslash, so any
 * path, newlines included, reaches the command unchanged.
 */
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

// Whether the detach works changes nothing in the result.
void detach_image(const char *device)
{
	char *command = shell_command("hdiutil detach ", "\"%s\"", device, NULL);
	if (command == NULL)
		return;
	int status = system(command);
	(void)status;
	free(command);
}

// The error number the failed call just left, or fallback when it left none.
int error_or(int fallback)
{
	return errno != 0 ? errno : fallback;
}

/*
 * One line on standard error, written at once: the message, then the
 * error's text and number.  err is the failed call's errno, taken before
 * anything else runs.
 */
void report_error(int err, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	const int length = vsnprintf(NULL, 0, format, args);
	va_end(args);
	char *message = length >= 0 ? static_cast<char *>(malloc(size_t(length) + 1)) : NULL;
	if (message != NULL) {
		va_start(args, format);
		vsnprintf(message, size_t(length) + 1, format, args);
		va_end(args);
	}
	fprintf(stderr, "%s: %s (%d)\n", message != NULL ? message : format, strerror(err), err);
	free(message);
}

}  // namespace
