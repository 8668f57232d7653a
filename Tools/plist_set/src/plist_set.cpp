/*
 * plist_set: set one top-level key of a property-list file to a string.
 *
 *	plist_set FILE KEY VALUE
 *
 * The file is read whole, its root must be a dictionary, the key is set
 * (added, or its value replaced whatever its type) in a copy of that
 * dictionary, and the whole property list is written back to the file in
 * the XML form.  Nested containers are kept as they were read.  Every
 * failure is one line on standard error and exit status 1; before the
 * write, the file is never touched.
 *
 * The file is opened once, through symbolic links, and locked (flock,
 * exclusive) from before the read until its new content is in place, so
 * that runs at once on one file lose no update.  Only the file that was
 * read is replaced, in one of two ways:
 *
 *  - by rename: a new file beside it takes its owner, group, mode,
 *    extended attributes and access control lists, is written, flushed and
 *    renamed over it.  Chosen when that keeps everything: one link, not
 *    mounted on its own, an owner and group the caller may give.
 *  - in place: through the descriptor that was read, once the file-size
 *    limit and the space for the new length are known to suffice.
 *    Chosen otherwise, and where the folder takes no new file.
 *
 * A binary file shares its objects and the XML form cannot, so a few
 * kilobytes can stand for gigabytes of XML: the XML form is counted before
 * it is made, and one larger than four times the file and 4 MiB more is
 * not written.
 */
#include <CoreFoundation/CoreFoundation.h>

#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <copyfile.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The file being set: open and locked from the read on.
struct PlistFile {
	int fd;
	bool writable;  // opened for writing too
	struct stat st;  // as it was read
	char path[PATH_MAX];  // as named, links not followed
	char folder[PATH_MAX];
	const char *name;  // its name in folder, links followed
	CFDataRef content;  // as it was read: what a failed write puts back
};

// The 32-bit platform reads no file of 2 GiB or more.
const off_t largest_file = 0x7fffffff;
// Each retry of the open means that the file was replaced meanwhile.
const int open_attempts = 1000;
// The XML form may take this many bytes for each byte of the file, and
// xml_allowance more, but never more than the platform reads back.
const off_t xml_bytes_per_file_byte = 4;
const off_t xml_allowance = 4 * 1024 * 1024;
// The declaration, the document type and the plist element take fewer.
const off_t xml_frame = 256;

enum WriteOutcome { outcome_written, outcome_failed, outcome_in_place_instead };

// The rename way's new file, removed by the signal handlers while it
// exists; relative to the folder, which is the working directory then.
volatile sig_atomic_t temporary_exists;
char temporary_name[NAME_MAX + 1];

bool open_standard_descriptors();
CFPropertyListRef ReadPropertyListFromFile(CFURLRef fileURL, PlistFile *file);
bool WritePropertyListToFile(CFPropertyListRef propertyList, PlistFile *file);
bool open_and_lock(PlistFile *file);
bool open_regular_file(PlistFile *file);
bool same_file(const struct stat *a, const struct stat *b);
bool read_whole_file(const PlistFile *file, UInt8 **bytes, CFIndex *length);
bool xml_form_fits(CFPropertyListRef propertyList, off_t file_size);
bool count_xml(CFTypeRef value, off_t depth, off_t *left);
bool count_xml_dictionary(CFDictionaryRef dictionary, off_t depth, off_t *left);
bool count_xml_text(CFStringRef string, off_t markup, off_t *left);
bool count_bytes(off_t bytes, off_t *left);
bool enter_folder(PlistFile *file, struct stat *folder);
bool may_replace_by_rename(const PlistFile *file, const struct stat *folder);
WriteOutcome replace_by_rename(const PlistFile *file, const UInt8 *bytes, size_t length);
bool make_temporary_name(const char *name);
int fill_temporary(int fd, const PlistFile *file, const UInt8 *bytes, size_t length);
bool still_named(const PlistFile *file);
void remove_temporary();
bool write_in_place(const PlistFile *file, const UInt8 *bytes, size_t length);
void put_back_content(const PlistFile *file, bool head_reached);
bool reserve_space(int fd, off_t growth);
int write_all_at(int fd, const UInt8 *bytes, size_t length, off_t offset);
void catch_termination_signals();
void block_termination_signals(sigset_t *previous);
void termination_signal_set(sigset_t *set);
void remove_temporary_and_raise(int sig);

}  // namespace

int main(int argc, char *argv[])
{
	// A file opened while descriptor 0, 1 or 2 is closed would take its
	// number, and a message meant for standard error would land in the
	// file: with no /dev/null to fill the gap, nothing is touched, and
	// nothing can be said safely.
	if (!open_standard_descriptors())
		return 1;
	if (argc != 4) {
		fprintf(stderr, "Invalid number of arguments. (got: %d, required: 3)\n", argc - 1);
		return 1;
	}

	int status = 1;
	CFURLRef fileURL = NULL;
	CFPropertyListRef propertyList = NULL;
	CFMutableDictionaryRef dictionary = NULL;
	PlistFile file;
	file.fd = -1;
	file.content = NULL;

	CFStringRef cfFileNameArgument = CFStringCreateWithCString(kCFAllocatorDefault, argv[1], kCFStringEncodingUTF8);
	CFStringRef cfKeyArgument = CFStringCreateWithCString(kCFAllocatorDefault, argv[2], kCFStringEncodingUTF8);
	CFStringRef cfValueArgument = CFStringCreateWithCString(kCFAllocatorDefault, argv[3], kCFStringEncodingUTF8);
	if (cfFileNameArgument != NULL)
		fileURL = CFURLCreateWithFileSystemPath(kCFAllocatorDefault, cfFileNameArgument, kCFURLPOSIXPathStyle,
							false);

	if (cfFileNameArgument == NULL || cfKeyArgument == NULL || cfValueArgument == NULL ||
	    fileURL == NULL) {
		fprintf(stderr,
			"Failed to create necessary objects. cfFileNameArgument=%p cfKeyArgument=%p "
			"cfValueArgument=%p fileURL=%p\n",
			static_cast<const void *>(cfFileNameArgument), static_cast<const void *>(cfKeyArgument),
			static_cast<const void *>(cfValueArgument), static_cast<const void *>(fileURL));
		goto out;
	}

	propertyList = ReadPropertyListFromFile(fileURL, &file);
	if (propertyList == NULL) {
		fprintf(stderr, "NULL property list.\n");
		goto out;
	}
	if (CFGetTypeID(propertyList) != CFDictionaryGetTypeID()) {
		fprintf(stderr, "Invalid property list root type: %d\n", static_cast<int>(CFGetTypeID(propertyList)));
		goto out;
	}

	dictionary = CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0,
						   static_cast<CFDictionaryRef>(propertyList));
	if (dictionary == NULL) {
		fprintf(stderr, "Failed to write property list to file \"%s\"\n", argv[1]);
		goto out;
	}
	CFDictionarySetValue(dictionary, cfKeyArgument, cfValueArgument);

	if (!WritePropertyListToFile(dictionary, &file)) {
		fprintf(stderr, "Failed to write property list to file \"%s\"\n", argv[1]);
		goto out;
	}
	status = 0;

out:
	if (file.fd >= 0)
		close(file.fd);  // and with it the lock
	if (file.content != NULL)
		CFRelease(file.content);
	if (dictionary != NULL)
		CFRelease(dictionary);
	if (propertyList != NULL)
		CFRelease(propertyList);
	if (fileURL != NULL)
		CFRelease(fileURL);
	if (cfValueArgument != NULL)
		CFRelease(cfValueArgument);
	if (cfKeyArgument != NULL)
		CFRelease(cfKeyArgument);
	if (cfFileNameArgument != NULL)
		CFRelease(cfFileNameArgument);
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

// The property list in the file, or NULL when the file cannot be read or
// holds no property list.  The file stays open and locked in *file,
// whatever the outcome, for the caller to close.
CFPropertyListRef ReadPropertyListFromFile(CFURLRef fileURL, PlistFile *file)
{
	if (!CFURLGetFileSystemRepresentation(fileURL, true, reinterpret_cast<UInt8 *>(file->path),
					      sizeof file->path))
		return NULL;
	if (!open_and_lock(file))
		return NULL;

	UInt8 *bytes = NULL;
	CFIndex length = 0;
	if (!read_whole_file(file, &bytes, &length))
		return NULL;
	file->content = CFDataCreate(kCFAllocatorDefault, bytes, length);
	free(bytes);
	if (file->content == NULL)
		return NULL;

	CFStringRef errorString = NULL;
	CFPropertyListRef propertyList = CFPropertyListCreateFromXMLData(kCFAllocatorDefault, file->content,
									 kCFPropertyListImmutable, &errorString);
	if (errorString != NULL)
		CFRelease(errorString);
	return propertyList;
}

// Serialises the property list as XML and puts it in the place of the
// file's content, by rename or in place.
bool WritePropertyListToFile(CFPropertyListRef propertyList, PlistFile *file)
{
	if (!file->writable || !xml_form_fits(propertyList, file->st.st_size))
		return false;
	CFDataRef xmlData = CFPropertyListCreateXMLData(kCFAllocatorDefault, propertyList);
	if (xmlData == NULL)
		return false;
	const UInt8 *bytes = CFDataGetBytePtr(xmlData);
	const size_t length = static_cast<size_t>(CFDataGetLength(xmlData));

	// Past the file-size limit a write fails with EFBIG instead of
	// ending the run half-way.
	signal(SIGXFSZ, SIG_IGN);

	WriteOutcome outcome = outcome_failed;
	struct stat folder;
	if (enter_folder(file, &folder)) {
		outcome = outcome_in_place_instead;
		if (may_replace_by_rename(file, &folder))
			outcome = replace_by_rename(file, bytes, length);
		if (outcome == outcome_in_place_instead)
			outcome = write_in_place(file, bytes, length) ? outcome_written : outcome_failed;
	}
	CFRelease(xmlData);
	return outcome == outcome_written;
}

// Opens the file and locks it.  A run that held the lock before may have
// replaced the file by the time the lock comes: then the name leads to
// another file, and the open starts over.
bool open_and_lock(PlistFile *file)
{
	for (int attempt = 0; attempt < open_attempts; attempt++) {
		if (!open_regular_file(file))
			return false;
		int locked;
		do
			locked = flock(file->fd, LOCK_EX);
		while (locked != 0 && errno == EINTR);
		// File systems without locks are still written.
		if (locked != 0 && errno != ENOTSUP && errno != EOPNOTSUPP)
			return false;

		struct stat named;
		if (fstat(file->fd, &file->st) != 0)
			return false;
		if (stat(file->path, &named) == 0 && same_file(&named, &file->st))
			return true;
		close(file->fd);
		file->fd = -1;
	}
	return false;
}

// Opens the file for reading and, where the caller may, for writing: the
// in-place way writes through this descriptor.
bool open_regular_file(PlistFile *file)
{
	// Not blocking: a FIFO planted at the path must not hang the run.
	file->writable = true;
	file->fd = open(file->path, O_RDWR | O_NONBLOCK | O_NOCTTY);
	if (file->fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY)) {
		file->writable = false;
		file->fd = open(file->path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
	}
	if (file->fd < 0)
		return false;
	return fstat(file->fd, &file->st) == 0 && S_ISREG(file->st.st_mode);
}

bool same_file(const struct stat *a, const struct stat *b)
{
	return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// The whole content, in a buffer for the caller to free; false for a file
// too large for the platform or one that cannot be read.  The size is
// checked before anything is allocated.
bool read_whole_file(const PlistFile *file, UInt8 **bytes, CFIndex *length)
{
	if (file->st.st_size > largest_file)
		return false;
	const size_t size = static_cast<size_t>(file->st.st_size);
	UInt8 *buffer = static_cast<UInt8 *>(malloc(size > 0 ? size : 1));
	if (buffer == NULL)
		return false;
	size_t done = 0;
	while (done < size) {
		ssize_t n = read(file->fd, buffer + done, size - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			free(buffer);
			return false;
		}
		if (n == 0)
			break;
		done += static_cast<size_t>(n);
	}
	*bytes = buffer;
	*length = static_cast<CFIndex>(done);
	return true;
}

// Whether the XML form of the property list stays within what a file of
// this size may take.  Counted before any of it is made, and given up at
// the first value past the limit, so that counting takes no longer than
// writing what is allowed would.
bool xml_form_fits(CFPropertyListRef propertyList, off_t file_size)
{
	off_t left = largest_file;
	if (file_size < (largest_file - xml_allowance) / xml_bytes_per_file_byte)
		left = file_size * xml_bytes_per_file_byte + xml_allowance;
	return count_bytes(xml_frame, &left) && count_xml(propertyList, 0, &left);
}

// Takes the bytes of one value as the XML form writes it, at most: a line
// indented by one tab for each level, or several lines for data and
// containers.  A shared value counts each time it is met.
bool count_xml(CFTypeRef value, off_t depth, off_t *left)
{
	const CFTypeID type = CFGetTypeID(value);
	if (type == CFStringGetTypeID())
		return count_xml_text(static_cast<CFStringRef>(value), depth + sizeof "<string></string>\n" - 1, left);
	if (type == CFDataGetTypeID()) {
		// Base64 in lines of 76 columns, a tab counting eight, indented
		// by eight tabs at most.
		const off_t tabs = depth < 8 ? depth : 8;
		const off_t per_line = (76 - 8 * tabs) / 4 * 3;
		const off_t length = CFDataGetLength(static_cast<CFDataRef>(value));
		const off_t lines = (length + per_line - 1) / per_line;
		return count_bytes(2 * depth + sizeof "<data>\n</data>\n" - 1 + (length + 2) / 3 * 4 +
					   lines * (tabs + 1),
				   left);
	}
	if (type == CFArrayGetTypeID()) {
		CFArrayRef array = static_cast<CFArrayRef>(value);
		const CFIndex count = CFArrayGetCount(array);
		// Each value takes eight bytes at least ("<true/>\n").
		if (count > *left / 8 || !count_bytes(2 * depth + sizeof "<array>\n</array>\n" - 1, left))
			return false;
		for (CFIndex i = 0; i < count; i++) {
			if (!count_xml(CFArrayGetValueAtIndex(array, i), depth + 1, left))
				return false;
		}
		return true;
	}
	if (type == CFDictionaryGetTypeID())
		return count_xml_dictionary(static_cast<CFDictionaryRef>(value), depth, left);
	if (type == CFBooleanGetTypeID())
		return count_bytes(depth + sizeof "<false/>\n" - 1, left);
	if (type == CFNumberGetTypeID())
		return count_bytes(depth + sizeof "<integer>-9223372036854775808</integer>\n" - 1, left);
	if (type == CFDateGetTypeID())
		return count_bytes(depth + sizeof "<date>-2147483648-12-31T23:59:60Z</date>\n" - 1, left);
	// A keyed archiver's reference is written as a dictionary.
	return count_bytes(4 * depth + 2 + sizeof "<dict>\n<key>CF$UID</key>\n<integer>4294967295</integer>\n</dict>\n" - 1,
			   left);
}

bool count_xml_dictionary(CFDictionaryRef dictionary, off_t depth, off_t *left)
{
	const CFIndex count = CFDictionaryGetCount(dictionary);
	// Each entry takes sixteen bytes at least ("<key></key>\n" and a
	// value), so the count also keeps the copy of the entries small.
	if (count > *left / 16 || !count_bytes(2 * depth + sizeof "<dict>\n</dict>\n" - 1, left))
		return false;
	if (count == 0)
		return true;
	const void **entries = static_cast<const void **>(malloc(2 * count * sizeof *entries));
	if (entries == NULL)
		return false;
	CFDictionaryGetKeysAndValues(dictionary, entries, entries + count);
	bool fits = true;
	// A key that is no string has no XML form at all.
	for (CFIndex i = 0; fits && i < count; i++)
		fits = CFGetTypeID(entries[i]) == CFStringGetTypeID() &&
		       count_xml_text(static_cast<CFStringRef>(entries[i]), depth + 1 + sizeof "<key></key>\n" - 1,
				      left) &&
		       count_xml(entries[count + i], depth + 1, left);
	free(entries);
	return fits;
}

// Takes the markup and the text of a string as the XML form writes it: in
// UTF-8, with '<', '>' and '&' as entities and a carriage return perhaps
// as a character reference, five bytes each at most.
bool count_xml_text(CFStringRef string, off_t markup, off_t *left)
{
	// Never fewer bytes than UTF-16 units: too long text is not copied.
	const off_t units = CFStringGetLength(string);
	if (markup + units > *left)
		return false;
	CFDataRef utf8 = CFStringCreateExternalRepresentation(kCFAllocatorDefault, string, kCFStringEncodingUTF8, 0);
	if (utf8 == NULL)
		return count_bytes(markup + 5 * units, left);
	const UInt8 *bytes = CFDataGetBytePtr(utf8);
	const CFIndex length = CFDataGetLength(utf8);
	off_t written = length;
	for (CFIndex i = 0; i < length; i++) {
		if (bytes[i] == '<' || bytes[i] == '>' || bytes[i] == '&' || bytes[i] == '\r')
			written += 4;
	}
	CFRelease(utf8);
	return count_bytes(markup + written, left);
}

// Takes bytes from what is left; false when fewer are left.
bool count_bytes(off_t bytes, off_t *left)
{
	if (bytes > *left)
		return false;
	*left -= bytes;
	return true;
}

// Makes the folder that holds the file (links followed) the working
// directory, so that the names used from here on cannot be redirected
// through a path, and checks that the file still goes by its name there.
// False when it does not: replaced after the read, it is not written.
bool enter_folder(PlistFile *file, struct stat *folder)
{
	if (realpath(file->path, file->folder) == NULL)
		return false;
	char *slash = strrchr(file->folder, '/');
	if (slash == NULL || slash[1] == '\0')
		return false;
	file->name = slash + 1;
	*slash = '\0';
	if (chdir(slash == file->folder ? "/" : file->folder) != 0)
		return false;
	return still_named(file) && stat(".", folder) == 0;
}

// Whether a new file can take the place of the old one with nothing lost:
// other hard links, counted now rather than when the file was read, would
// keep the old content, and a file mounted on its own cannot be renamed
// over.  Metadata the new file cannot take shows when it is filled.
bool may_replace_by_rename(const PlistFile *file, const struct stat *folder)
{
	struct stat st;
	return fstat(file->fd, &st) == 0 && st.st_nlink == 1 && st.st_dev == folder->st_dev;
}

// The rename way.  The new file is removed on every path that does not
// rename it, signals that end the run included; only SIGKILL, SIGSTOP
// followed by SIGKILL, or a crash can leave it, under a name that says
// whose it is.
WriteOutcome replace_by_rename(const PlistFile *file, const UInt8 *bytes, size_t length)
{
	if (!make_temporary_name(file->name))
		return outcome_in_place_instead;
	catch_termination_signals();

	sigset_t previous;
	block_termination_signals(&previous);
	int fd = mkstemp(temporary_name);
	temporary_exists = fd >= 0;
	sigprocmask(SIG_SETMASK, &previous, NULL);
	if (fd < 0)
		return outcome_in_place_instead;  // the folder takes no new file

	WriteOutcome outcome = outcome_failed;
	int err = fill_temporary(fd, file, bytes, length);
	if (close(fd) != 0 && err == 0)
		err = errno;
	if (err == 0 && still_named(file)) {
		block_termination_signals(&previous);
		if (rename(temporary_name, file->name) == 0) {
			temporary_exists = 0;
			outcome = outcome_written;
		} else {
			err = errno;
		}
		sigprocmask(SIG_SETMASK, &previous, NULL);
	}
	// What the in-place way can still do: a file mounted on its own, a
	// full disk for a whole copy (it needs room for the growth only),
	// metadata the new file could not take.
	if (err == EBUSY || err == EXDEV || err == ENOSPC || err == EDQUOT || err == EPERM)
		outcome = outcome_in_place_instead;
	remove_temporary();

	if (outcome == outcome_written) {
		int folder = open(".", O_RDONLY | O_NOCTTY);
		if (folder >= 0) {
			fsync(folder);  // the rename itself must reach the disk
			close(folder);
		}
	}
	return outcome;
}

// ".NAME.plist_set-tmp.XXXXXX", NAME cut short (between characters) where
// the whole would be too long for a file name.
bool make_temporary_name(const char *name)
{
	static const char temporary_suffix[] = ".plist_set-tmp.XXXXXX";
	size_t room = sizeof temporary_name - sizeof temporary_suffix - 1;
	size_t kept = strlen(name);
	if (kept > room) {
		kept = room;
		while (kept > 0 && (static_cast<unsigned char>(name[kept]) & 0xC0) == 0x80)
			kept--;
	}
	if (kept == 0)
		return false;
	snprintf(temporary_name, sizeof temporary_name, ".%.*s%s", static_cast<int>(kept), name, temporary_suffix);
	return true;
}

// Gives the new file everything of the old one but its content, then the
// content, flushed.  0, or the error number of the failing step; EPERM
// when the metadata could not all be given.
int fill_temporary(int fd, const PlistFile *file, const UInt8 *bytes, size_t length)
{
	struct stat st;
	if (fcopyfile(file->fd, fd, NULL, COPYFILE_METADATA) != 0 || fstat(fd, &st) != 0 ||
	    st.st_uid != file->st.st_uid || st.st_gid != file->st.st_gid ||
	    (st.st_mode & 07777) != (file->st.st_mode & 07777))
		return EPERM;
	int err = write_all_at(fd, bytes, length, 0);
	if (err == 0 && fsync(fd) != 0)
		err = errno;
	return err;
}

// Whether the file that was read still goes by its name in the folder.
bool still_named(const PlistFile *file)
{
	struct stat named;
	return lstat(file->name, &named) == 0 && same_file(&named, &file->st);
}

void remove_temporary()
{
	sigset_t previous;
	block_termination_signals(&previous);
	if (temporary_exists)
		unlink(temporary_name);
	temporary_exists = 0;
	sigprocmask(SIG_SETMASK, &previous, NULL);
}

// The in-place way, through the descriptor that was read, under its lock.
// Whatever can refuse comes before the first byte changes: the file-size
// limit, the space for the growth (reserved, and then written first, past
// the old end).  A write or flush that fails after that puts the content
// that was read back, so that a failure leaves the file as it was.
// Signals that end the run wait until the file is whole; only SIGKILL, a
// power loss, or a disk that fails to take the old content back as well
// can leave it half-written.
bool write_in_place(const PlistFile *file, const UInt8 *bytes, size_t length)
{
	struct stat st;
	if (fstat(file->fd, &st) != 0)
		return false;
	struct rlimit limit;
	if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
	    static_cast<rlim_t>(length) > limit.rlim_cur)
		return false;
	const off_t old_size = st.st_size;
	const off_t new_size = static_cast<off_t>(length);
	if (new_size > old_size && !reserve_space(file->fd, new_size - old_size))
		return false;

	sigset_t previous;
	block_termination_signals(&previous);
	// Past the old end first: a growth refused for space or size has
	// changed nothing else yet.
	const size_t head = new_size > old_size ? static_cast<size_t>(old_size) : length;
	const bool head_reached = write_all_at(file->fd, bytes + head, length - head, static_cast<off_t>(head)) == 0;
	bool written = head_reached && write_all_at(file->fd, bytes, head, 0) == 0 &&
		       (new_size >= old_size || ftruncate(file->fd, new_size) == 0) && fsync(file->fd) == 0;
	if (!written)
		put_back_content(file, head_reached);
	sigprocmask(SIG_SETMASK, &previous, NULL);
	return written;
}

// Puts the content that was read back over whatever the failed write left:
// its bytes again where the write reached them, and its length in any
// case, so that a growth whose end went in and whose head was refused
// (space on a file system that copies blocks on write) is taken back even
// when the old bytes cannot be written either; then flushes.
void put_back_content(const PlistFile *file, bool head_reached)
{
	const CFIndex length = CFDataGetLength(file->content);
	if (head_reached)
		write_all_at(file->fd, CFDataGetBytePtr(file->content), static_cast<size_t>(length), 0);
	ftruncate(file->fd, static_cast<off_t>(length));
	fsync(file->fd);
}

// Reserves the space for the growth; false when the file system has too
// little.  One that reserves nothing ahead still gets the new end written
// first.
bool reserve_space(int fd, off_t growth)
{
	fstore_t store;
	store.fst_flags = F_ALLOCATEALL;
	store.fst_posmode = F_PEOFPOSMODE;
	store.fst_offset = 0;
	store.fst_length = growth;
	store.fst_bytesalloc = 0;
	if (fcntl(fd, F_PREALLOCATE, &store) == 0)
		return true;
	return errno != ENOSPC && errno != EDQUOT && errno != EFBIG;
}

// 0, or the error number of the failing write.
int write_all_at(int fd, const UInt8 *bytes, size_t length, off_t offset)
{
	while (length > 0) {
		// The target refuses single writes beyond INT_MAX bytes.
		size_t chunk = length < 0x40000000 ? length : 0x40000000;
		ssize_t n = pwrite(fd, bytes, chunk, offset);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return errno;
		if (n == 0)
			return EIO;
		bytes += n;
		length -= static_cast<size_t>(n);
		offset += n;
	}
	return 0;
}

// Every signal that ends a run by default and that a caller, a terminal or
// a limit may send; the faults are left alone, they mean a defect.
const int termination_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGALRM,
				   SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};
const size_t termination_signal_count = sizeof termination_signals / sizeof termination_signals[0];

// Signals that end the run remove the rename way's new file first.  One
// that was ignored when the run started stays ignored.
void catch_termination_signals()
{
	struct sigaction action;
	memset(&action, 0, sizeof action);
	action.sa_handler = remove_temporary_and_raise;
	termination_signal_set(&action.sa_mask);
	for (size_t i = 0; i < termination_signal_count; i++) {
		struct sigaction old;
		if (sigaction(termination_signals[i], NULL, &old) == 0 && old.sa_handler != SIG_IGN)
			sigaction(termination_signals[i], &action, NULL);
	}
}

// Holds the termination signals until the mask saved in previous is set
// again.
void block_termination_signals(sigset_t *previous)
{
	sigset_t set;
	termination_signal_set(&set);
	sigprocmask(SIG_BLOCK, &set, previous);
}

void termination_signal_set(sigset_t *set)
{
	sigemptyset(set);
	for (size_t i = 0; i < termination_signal_count; i++)
		sigaddset(set, termination_signals[i]);
}

// Ends the run by the signal itself, once the new file is gone, so that
// the caller sees what ended it.
void remove_temporary_and_raise(int sig)
{
	if (temporary_exists)
		unlink(temporary_name);
	temporary_exists = 0;
	signal(sig, SIG_DFL);
	raise(sig);
}

}  // namespace
