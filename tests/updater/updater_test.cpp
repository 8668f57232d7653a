// ArdovaUpdater in a private root, with stand-ins for hdiutil and installer
// that record what they are asked to do in /stub/calls.  The tests run the
// build whose key is the test key (ArdovaUpdater-testkey), so that they can
// sign images; the release build must refuse those signatures.
#include "sandbox.h"

#include <filesystem>
#include <regex>

using sandbox::Result;
using sandbox::Sandbox;
using sandbox::TempDir;

namespace {

// Shell helpers for the scenarios, besides make_image and sign (lib.sh).
const char helpers[] = R"sh(
update() { ArdovaUpdater-testkey "$@"; echo "status $?"; }
# forced FAKE_UNAME_RELEASE=R|FAKE_UNAME_ERRNO=N IMAGE SIGNATURE: update
# with uname made to report release R or to fail with error number N.  The
# loader puts each program's platform for $PLATFORM: the shells that the
# program starts may have another word size.
forced() {
	_setting=$1
	shift
	env "$_setting" LD_PRELOAD='/sandbox/support/$PLATFORM/fake_uname.so' \
		ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" ArdovaUpdater-testkey "$@"
	echo "status $?"
}
# flip FILE OFFSET: changes one bit of the byte at OFFSET.
flip() {
	_byte=$(od -An -tu1 -j"$2" -N1 "$1" | tr -d ' ')
	printf "$(printf '\\%03o' $((_byte ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
# traced STRACE-ARGUMENTS... PROGRAM...: runs PROGRAM under strace, whose
# tracing a sanitized build's leak checker cannot work under.
traced() {
	ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace "$@"
	echo "status $?"
}
calls() { cat /stub/calls 2>/dev/null; rm -f /stub/calls; }
left() { printf 'left in /tmp:'; ls -A /tmp | sed 's/^/ /' | tr -d '\n'; echo; }
)sh";

// The temporary folders carry random names.
std::string normalized(const std::string &text)
{
	static const std::regex random_name(R"((ardova_updater(_image)?\.)[A-Za-z0-9]{6})");
	return std::regex_replace(text, random_name, "$1XXXXXX");
}

// The copy is a file of its own in /tmp, whose sticky bit keeps others from
// replacing it.
const std::string attach =
	"hdiutil [attach] [-mountpoint] [/tmp/ardova_updater.XXXXXX] "
	"[/tmp/ardova_updater_image.XXXXXX.dmg]\n"
	"hdiutil: image 600 root, in 1777 root\n";
std::string install(const std::string &build, const std::string &content)
{
	return "installer [-pkg] [/tmp/ardova_updater.XXXXXX/.packages/" + build +
	       "/Install Ardova NTFS.mpkg] [-target] [/]\n"
	       "installer: package \"" + content + "\"\n";
}
const std::string detach = "hdiutil [detach] [/dev/disk4]\n";

const std::string invalid = "Error while performing update: Input/output error (5)\n";
const std::string interrupted = "Error while performing update: Interrupted system call (4)\n";
const std::string usage = "usage: ArdovaUpdater <dmg filename> <signature filename>\n";

class Updater : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX();
		box.binds.push_back({stub.path(), "/stub"});
		box.binds.push_back({data.path(), "/data"});
	}

	// A scenario script, with the helpers above.
	Result sh(const std::string &script) const
	{
		Result r = box.sh(helpers + script);
		r.out = normalized(r.out);
		return r;
	}

	Sandbox box;
	TempDir stub, data;
};

// On this Linux machine uname reports a release below 12 (Linux 6.x), so
// runs without a forced release install the Bundle package.
TEST_F(Updater, InstallsThePackageOfAVerifiedImageAndCleansUp)
{
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		update /data/image.dmg /data/image.dmg.sig
		grep -o '/tmp/ardova_updater\.[^]/]*' /stub/calls | sort | uniq -c | sed 's/^ *//'
		calls; left
	)sh");
	EXPECT_EQ(r.err, "");
	// One mount point, named to attach and to installer.
	EXPECT_EQ(r.out, "status 0\n2 /tmp/ardova_updater.XXXXXX\n" + attach + install("Bundle", "bundle v1") +
				 detach + "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, KernelReleaseChoosesThePackage)
{
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		for release in 12.5.0 12.4.9 13.0.0 9.8.0 12.10 12 '' 12.5.0b; do
			echo "[$release]"
			forced FAKE_UNAME_RELEASE="$release" /data/image.dmg /data/image.dmg.sig
			calls | grep '^installer:'
		done
		left
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out,
		  "[12.5.0]\nstatus 0\ninstaller: package \"flat v1\"\n"
		  "[12.4.9]\nstatus 0\ninstaller: package \"bundle v1\"\n"
		  "[13.0.0]\nstatus 0\ninstaller: package \"flat v1\"\n"
		  "[9.8.0]\nstatus 0\ninstaller: package \"bundle v1\"\n"
		  "[12.10]\nstatus 0\ninstaller: package \"flat v1\"\n"
		  "[12]\nstatus 0\ninstaller: package \"bundle v1\"\n"
		  "[]\nstatus 0\ninstaller: package \"bundle v1\"\n"
		  "[12.5.0b]\nstatus 0\ninstaller: package \"flat v1\"\n"
		  "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, UnreadableReleaseOrFailedUnameFailsAfterDetaching)
{
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		forced FAKE_UNAME_RELEASE=12a.1 /data/image.dmg /data/image.dmg.sig; calls
		forced FAKE_UNAME_RELEASE=12.4a.1 /data/image.dmg /data/image.dmg.sig; calls
		forced FAKE_UNAME_ERRNO=14 /data/image.dmg /data/image.dmg.sig; calls
		forced FAKE_UNAME_ERRNO=0 /data/image.dmg /data/image.dmg.sig; calls
		left
	)sh");
	EXPECT_EQ(r.err,
		  "Error while performing update: No such device or address (6)\n"
		  "Error while performing update: No such device or address (6)\n"
		  "Error while performing update: Bad address (14)\n"
		  "Error while performing update: No such device or address (6)\n");
	const std::string run = "status 1\n" + attach + detach;
	EXPECT_EQ(r.out, run + run + run + run + "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, UsageWithoutTouchingTheSignatureFile)
{
	// Opening a FIFO with no writer would hang: the signature is not opened.
	box.timeout = std::chrono::seconds(60);
	Result r = sh(R"sh(
		mkfifo /data/fifo.sig
		for program in ArdovaUpdater ArdovaUpdater-testkey; do
			$program; echo "status $?"
			$program /data/image.dmg; echo "status $?"
			$program /data/image.dmg /data/fifo.sig extra; echo "status $?"
		done
		calls; left
	)sh");
	EXPECT_EQ(r.err, usage + usage + usage + usage + usage + usage);
	EXPECT_EQ(r.out, "status 1\nstatus 1\nstatus 1\nstatus 1\nstatus 1\nstatus 1\nleft in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, SignatureFileThatCannotBeRead)
{
	Result r = sh(R"sh(
		: >/data/empty.sig
		update /data/none.dmg /data/none.sig
		update /data/none.dmg /data/empty.sig
		mkdir /folder.sig
		update /data/none.dmg /folder.sig
		calls; left
	)sh");
	// The image is never looked at: no complaint about it.
	EXPECT_EQ(r.err,
		  "Error while opening signature file '/data/none.sig': No such file or directory (2)\n"
		  "Unexpected EOF while reading 0 bytes of signature data from file. Items read: 0\n"
		  "Error while seeking to end of signature file '/folder.sig': Invalid argument (22)\n");
	EXPECT_EQ(r.out, "status 1\nstatus 1\nstatus 1\nleft in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, SignatureFileTooLargeForItsLengthIsRefusedWhole)
{
	// Sparse files: 2^31 bytes, one more than the length can count, and
	// 2^32 + 512 bytes that begin with a valid signature, which a length
	// cut to 32 bits would take for a 512-byte file.
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		mkdir /big
		truncate -s 2147483648 /big/2g.sig
		cp /data/image.dmg.sig /big/4g.sig && truncate -s 4294967808 /big/4g.sig
		update /data/image.dmg /big/2g.sig
		update /data/image.dmg /big/4g.sig
		calls; left
	)sh");
	EXPECT_EQ(r.err,
		  "Error while getting end position of signature file '/big/2g.sig': "
		  "Value too large for defined data type (75)\n"
		  "Error while getting end position of signature file '/big/4g.sig': "
		  "Value too large for defined data type (75)\n");
	EXPECT_EQ(r.out, "status 1\nstatus 1\nleft in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, SignatureBufferThatCannotBeAllocated)
{
#if defined(__SANITIZE_ADDRESS__)
	// AddressSanitizer cannot start in a small address space; its own
	// allocator is told to refuse large blocks instead.
	const std::string limit =
		"export ASAN_OPTIONS=\"$ASAN_OPTIONS:allocator_may_return_null=1:max_allocation_size_mb=1024\"";
#else
	// Where a user-mode emulator (qemu-user) runs the program, the address
	// space it gives the program is the limit; its own must fit below ours.
	const std::string limit = "ulimit -v 1000000; export QEMU_RESERVED_VA=512M";
#endif
	Result r = sh(R"sh(
		mkdir /big && truncate -s 2147483647 /big/huge.sig
		()sh" + limit + R"sh(; update /data/none.dmg /big/huge.sig)
		left
	)sh");
#if defined(__SANITIZE_ADDRESS__)
	r.err = std::regex_replace(r.err, std::regex("==[0-9]+==WARNING: AddressSanitizer failed to allocate [^\n]*\n"), "");
#endif
	EXPECT_EQ(r.err, "Error while allocating 2147483647 bytes of memory for signature data buffer: "
			 "Cannot allocate memory (12)\n");
	EXPECT_EQ(r.out, "status 1\nleft in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, SignaturesThatDoNotVerifyLeaveNothingBehind)
{
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		cd /data
		head -c 511 image.dmg.sig >short.sig
		{ cat image.dmg.sig; printf x; } >long.sig
		head -c 1 image.dmg.sig >one.sig
		cat image.dmg.sig image.dmg.sig >double.sig
		cp image.dmg.sig flipped.sig && flip flipped.sig 100
		cmp -s flipped.sig image.dmg.sig || echo "flipped differs"
		cp image.dmg flipped.dmg && flip flipped.dmg 600
		cmp -s flipped.dmg image.dmg || echo "image differs"
		{ cat image.dmg; printf '\0'; } >appended.dmg
		make_image other.dmg v2 && sign other.dmg
		for sig in short long one double flipped; do update image.dmg $sig.sig; done
		update flipped.dmg image.dmg.sig
		update appended.dmg image.dmg.sig
		update image.dmg other.dmg.sig
		# Signed with a key that is not the one built in.
		ArdovaUpdater image.dmg image.dmg.sig; echo "status $?"
		calls; left
	)sh");
	std::string errors;
	for (int i = 0; i < 9; i++)
		errors += invalid;
	EXPECT_EQ(r.err, errors);
	std::string statuses;
	for (int i = 0; i < 9; i++)
		statuses += "status 1\n";
	EXPECT_EQ(r.out, "flipped differs\nimage differs\n" + statuses + "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, ImagesOfEverySizeAreVerifiedAndAttachedWhole)
{
	// Around and at multiples of the 131072-byte read size, signed by
	// openssl; what hdiutil is given has the digest of the named image.
	Result r = sh(R"sh(
		for size in 0 1 131071 131072 131073 262144 262145 1000000; do
			head -c $size /dev/urandom >/data/image.dmg && sign /data/image.dmg
			update /data/image.dmg /data/image.dmg.sig
			calls | grep -c '^hdiutil \[detach\]'
			[ "$(cat /stub/attached.sha1)" = "$(sha1sum </data/image.dmg)" ] && echo same
		done
		left
	)sh");
	EXPECT_EQ(r.err, "");
	std::string expected;
	for (int i = 0; i < 8; i++)
		expected += "status 0\n1\nsame\n";
	EXPECT_EQ(r.out, expected + "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

// Past 2^32 bytes: a 32-bit program gets there only with 64-bit file
// offsets.  The image is the usual archive followed by a sparse run of
// zeros; the private copy the program makes is whole (in /tmp's memory).
// The image is read once here, for a digest to sign and compare with.
// Reading 4 GiB four times takes a while, so only the 32-bit builds, whose
// file offsets this proves, run it.
TEST_F(Updater, ImageOf4GiBAnd1000BytesIsVerifiedCopiedAndInstalled)
{
	if (sizeof(void *) > 4)
		GTEST_SKIP() << "a case for 32-bit builds";
	box.timeout = std::chrono::minutes(9);
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && truncate -s 4294968296 /data/image.dmg
		stat -c '%s bytes' /data/image.dmg
		openssl dgst -sha1 -binary </data/image.dmg >/data/digest
		openssl pkeyutl -sign -inkey /sandbox/support/updater-test-key.pem -pkeyopt digest:sha1 -in /data/digest -out /data/image.dmg.sig
		update /data/image.dmg /data/image.dmg.sig
		[ "$(cat /stub/attached.sha1)" = "$(od -An -tx1 /data/digest | tr -d ' \n')  -" ] &&
			echo "attached the whole image"
		calls; left
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "4294968296 bytes\nstatus 0\nattached the whole image\n" + attach +
				 install("Bundle", "bundle v1") + detach + "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, MissingImage)
{
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		update /data/none.dmg /data/image.dmg.sig
		calls; left
	)sh");
	EXPECT_EQ(r.err, "Error while performing update: No such file or directory (2)\n");
	EXPECT_EQ(r.out, "status 1\nleft in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, RelativeImagePath)
{
	Result r = sh(R"sh(
		mkdir /data/sub && make_image /data/sub/image.dmg v1 && sign /data/sub/image.dmg
		cd /data && update sub/image.dmg sub/image.dmg.sig
		calls; left
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "status 0\n" + attach + install("Bundle", "bundle v1") + detach + "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, AttachThatNamesNoDeviceOrFailsIsNotDetached)
{
	sandbox::write_file(stub / "no-device",
			    "/dev/rdisk4\tGUID_partition_scheme\n"
			    " /dev/disk4s1\tApple_HFS\t/Volumes/x\n"
			    "/dev/dis\n");
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		mv /stub/no-device /stub/attach-output
		update /data/image.dmg /data/image.dmg.sig
		calls; left
		rm /stub/attach-output && echo 1 >/stub/attach-status
		update /data/image.dmg /data/image.dmg.sig
		calls; left
	)sh");
	EXPECT_EQ(r.err, invalid + invalid);
	EXPECT_EQ(r.out, "status 1\n" + attach + "left in /tmp:\nstatus 1\n" + attach + "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, FirstDeviceLineNamesTheDevice)
{
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		for output in 'Initializing...\n/dev/disk7s2 Apple_HFS\t/x\n/dev/disk4\tGUID\n' \
			      '/dev/disk9\n/dev/disk4\n' '/dev/disk3\t\n' '/dev/disk5'; do
			printf "$output" >/stub/attach-output
			update /data/image.dmg /data/image.dmg.sig
			calls | grep '^hdiutil \[detach\]'
		done
		left
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out,
		  "status 0\nhdiutil [detach] [/dev/disk7s2]\n"
		  "status 0\nhdiutil [detach] [/dev/disk9]\n"
		  "status 0\nhdiutil [detach] [/dev/disk3]\n"
		  "status 0\nhdiutil [detach] [/dev/disk5]\n"
		  "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, FailedInstallIsStillDetachedAndCleanedUp)
{
	sandbox::write_file(stub / "installer-status", "3\n");
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		update /data/image.dmg /data/image.dmg.sig
		calls; left
		grep -c ardova_updater /proc/self/mountinfo
	)sh");
	EXPECT_EQ(r.err, "Error while performing update: No such device or address (6)\n");
	EXPECT_EQ(r.out, "status 1\n" + attach + install("Bundle", "bundle v1") + detach + "left in /tmp:\n0\n");
}

TEST_F(Updater, FailedDetachDoesNotChangeTheResult)
{
	// The image stays mounted, so its mount point cannot be removed
	// either; the private copy is gone all the same.
	sandbox::write_file(stub / "detach-status", "1\n");
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		update /data/image.dmg /data/image.dmg.sig
		calls; left
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "status 0\n" + attach + install("Bundle", "bundle v1") + detach +
				 "left in /tmp: ardova_updater.XXXXXX\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, ImageChangedAfterVerificationIsNotInstalled)
{
	// Whoever can write the image file replaces it with an unsigned one the
	// moment hdiutil is started.
	Result r = sh(R"sh(
		make_image /data/image.dmg good && sign /data/image.dmg
		make_image /stub/swap-with evil
		echo /data/image.dmg >/stub/swap-target
		forced FAKE_UNAME_RELEASE=12.5.0 /data/image.dmg /data/image.dmg.sig
		cmp -s /data/image.dmg /stub/swap-with && echo "image replaced"
		calls; left
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "status 0\nimage replaced\n" + attach + install("Flat", "flat good") + detach +
				 "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, ImagePathsWithShellCharactersAreReadAsNamed)
{
	Result made = sh(R"sh(make_image /data/image.dmg v1 && sign /data/image.dmg)sh");
	ASSERT_EQ(made.status, 0) << made;
	const std::vector<std::string> names = {
		"quote\"d.dmg", "dollar$(touch pwned).dmg", "back`touch pwned2`quote.dmg",
		"back\\slash\\\".dmg", "new\nline.dmg", "single'quote.dmg", "$HOME ${IFS}.dmg",
	};
	std::vector<std::string> argv = {"/bin/sh", "-c", R"sh(
		cd /stub
		for image; do
			ArdovaUpdater-testkey "/data/$image" "/data/$image.sig"; echo "status $?"
		done
		ls / /stub | grep pwned
		echo "left in /tmp: $(ls -A /tmp)"
	)sh", "sh"};
	for (const std::string &name : names) {
		std::filesystem::copy_file(data / "image.dmg", data / name);
		std::filesystem::copy_file(data / "image.dmg.sig", data / (name + ".sig"));
		argv.push_back(name);
	}
	Result r = box.run(argv);
	EXPECT_EQ(r.err, "");
	std::string expected;
	for (size_t i = 0; i < names.size(); i++)
		expected += "status 0\n";
	EXPECT_EQ(r.out, expected + "left in /tmp: \n");
	std::string calls;
	for (size_t i = 0; i < names.size(); i++)
		calls += attach + install("Bundle", "bundle v1") + detach;
	EXPECT_EQ(normalized(sandbox::read_file(stub / "calls")), calls);
}

TEST_F(Updater, DeviceNameWithShellCharactersIsPassedUnchanged)
{
	// Cut at the first blank or tab, a device name can still hold
	// everything else the shell would act on.
	const std::string device = "/dev/disk4\"$(touch${IFS}pwned)`touch${IFS}pwned2`\\\";touch${IFS}pwned3;'";
	sandbox::write_file(stub / "attach-output", device + "\tGUID_partition_scheme\n");
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		cd /stub && update /data/image.dmg /data/image.dmg.sig
		ls /stub | grep pwned; ls / | grep pwned
		calls | grep detach; left
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "status 0\nhdiutil [detach] [" + device + "]\nleft in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, ImageThatDoesNotFitInTmpLeavesNothingBehind)
{
	Result r = sh(R"sh(
		head -c 1048576 /dev/urandom >/data/image.dmg && sign /data/image.dmg
		mount -t tmpfs -o size=256k tmpfs /tmp
		update /data/image.dmg /data/image.dmg.sig
		calls; left
	)sh");
	EXPECT_EQ(r.err, "Error while performing update: No space left on device (28)\n");
	EXPECT_EQ(r.out, "status 1\nleft in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, ImageThatIsNotARegularFileIsRefusedAtOnce)
{
	// Devices that never end, and a FIFO that no one writes, whose open
	// would wait: none of them may hold the run up.
	box.timeout = std::chrono::seconds(60);
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		mkfifo /data/fifo.dmg
		mkdir /data/folder.dmg
		for image in /dev/zero /dev/urandom /data/fifo.dmg /data/folder.dmg; do
			update $image /data/image.dmg.sig
		done
		calls; left
	)sh");
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.err, "Error while performing update: Invalid argument (22)\n"
			 "Error while performing update: Invalid argument (22)\n"
			 "Error while performing update: Illegal seek (29)\n"
			 "Error while performing update: Is a directory (21)\n");
	EXPECT_EQ(r.out, "status 1\nstatus 1\nstatus 1\nstatus 1\nleft in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, BadSignatureIsReportedWhateverTheSpaceInTmp)
{
	// The copy cannot be written whole, yet the verdict on the signature
	// comes first; and no folder is made before it.
	Result r = sh(R"sh(
		head -c 1048576 /dev/urandom >/data/image.dmg
		head -c 1048576 /dev/urandom >/data/other.dmg && sign /data/other.dmg
		mount -t tmpfs -o size=256k tmpfs /tmp
		traced -f -o /data/trace -e trace=mkdir,mkdirat ArdovaUpdater-testkey /data/image.dmg /data/other.dmg.sig
		grep -c mkdir /data/trace
		calls; left
	)sh");
	EXPECT_EQ(r.err, invalid);
	EXPECT_EQ(r.out, "status 1\n0\nleft in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, CallerThatIgnoresChildSignalsChangesNothing)
{
	// The setting passes to the program: the kernel would reap the
	// commands before the program could learn how they ended.
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		python3 -c 'import os, signal, sys
signal.signal(signal.SIGCHLD, signal.SIG_IGN)
os.execvp(sys.argv[1], sys.argv[1:])' ArdovaUpdater-testkey /data/image.dmg /data/image.dmg.sig
		echo "status $?"
		calls; left
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "status 0\n" + attach + install("Bundle", "bundle v1") + detach + "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, CommandsNeverStartWithoutStandardDescriptors)
{
	sandbox::write_file(stub / "record-fds", "");
	Result r = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		ArdovaUpdater-testkey /data/image.dmg /data/image.dmg.sig <&- >&- 2>&-
		echo "status $?"
		calls | grep descriptors; left
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "status 0\n"
			 "hdiutil: descriptors /dev/null pipe /dev/null\n"
			 "installer: descriptors /dev/null /dev/null /dev/null\n"
			 "hdiutil: descriptors /dev/null /dev/null /dev/null\n"
			 "left in /tmp:\n");
	EXPECT_EQ(r.status, 0) << r;
}

TEST_F(Updater, SignalsStopTheRunAndLeaveNothingBehind)
{
	// Each signal while the image is read: strace sends it as the third
	// piece is written to the copy.
	Result hashing = sh(R"sh(
		head -c 1048576 /dev/urandom >/data/image.dmg && sign /data/image.dmg
		for signal in INT TERM HUP; do
			traced -o /dev/null -e trace=write -e inject=write:signal=SIG$signal:when=3 \
				ArdovaUpdater-testkey /data/image.dmg /data/image.dmg.sig
		done
		calls; left
		# The copy meets the caller's file-size limit (blocks of 512 bytes).
		(ulimit -f 1000; exec ArdovaUpdater-testkey /data/image.dmg /data/image.dmg.sig); echo "status $?"
		left
		# Waiting for a writer at the signature path, nothing is left to
		# clean up: the signal ends the run at once, without a word.  (The
		# shell's own notice of a background job's end comes or not,
		# depending on when it reaps it: it goes to /dev/null.)
		mkfifo /data/fifo.sig
		(
			ArdovaUpdater-testkey /data/image.dmg /data/fifo.sig 2>/data/fifo.err & updater=$!
			# In open or openat, by the numbers of x86_64 or of i386.
			in_open() { case $(cut -d' ' -f1 /proc/$1/syscall 2>/dev/null) in 2 | 257 | 5 | 295) ;; *) false ;; esac; }
			wait_for in_open $updater || echo "never waited at the signature"
			kill -TERM $updater; wait $updater; echo "status $?"
		) 2>/dev/null
		cat /data/fifo.err
	)sh");
	// The shell says which signal ended a command, unless it was SIGINT.
	EXPECT_EQ(hashing.err, interrupted + interrupted + "Terminated\n" + interrupted + "Hangup\n" +
				       "Error while performing update: File too large (27)\n");
	EXPECT_EQ(hashing.out, "status 130\nstatus 143\nstatus 129\nleft in /tmp:\nstatus 1\nleft in /tmp:\n"
			       "status 143\n");
	EXPECT_EQ(hashing.status, 0) << hashing;

	// While hdiutil attaches, and while installer runs: each command is
	// waited for and what it attached detached.  A package that was
	// installed needs no message.  A Ctrl-C reaches the whole process
	// group; a signal that the caller ignores (nohup) stays ignored.
	Result commands = sh(R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		echo "updater TERM" >/stub/attach-signal
		update /data/image.dmg /data/image.dmg.sig
		calls; left
		rm /stub/attach-signal
		for signal in TERM HUP; do
			echo "updater $signal" >/stub/installer-signal
			update /data/image.dmg /data/image.dmg.sig
			calls; left
		done
		echo "group INT" >/stub/installer-signal
		setsid ArdovaUpdater-testkey /data/image.dmg /data/image.dmg.sig
		echo "status $?"
		calls; left
		echo "updater HUP" >/stub/installer-signal
		nohup ArdovaUpdater-testkey /data/image.dmg /data/image.dmg.sig
		echo "status $?"
		calls; left
		# A Ctrl-C during the detach: the detach is run again, and the run
		# then ends by the signal.
		rm /stub/installer-signal
		echo "group INT" >/stub/detach-signal
		setsid ArdovaUpdater-testkey /data/image.dmg /data/image.dmg.sig
		echo "status $?"
		calls; left
		# A Ctrl-C that ends hdiutil once it has named its device: what it
		# may have attached is detached.
		echo "group INT" >/stub/attach-end-signal
		setsid ArdovaUpdater-testkey /data/image.dmg /data/image.dmg.sig
		echo "status $?"
		calls; left; if [ -f /stub/mounted ]; then echo "still attached"; fi
	)sh");
	const std::string installed = attach + install("Bundle", "bundle v1") + detach + "left in /tmp:\n";
	EXPECT_EQ(commands.err, interrupted + "Terminated\nTerminated\nHangup\n" + interrupted + interrupted);
	EXPECT_EQ(commands.out, "status 143\n" + attach + detach + "left in /tmp:\n" +
					"status 143\n" + installed + "status 129\n" + installed +
					"status 130\n" + installed + "status 0\n" + installed + "status 130\n" +
					attach + install("Bundle", "bundle v1") + detach + detach + "left in /tmp:\n" +
					"status 130\n" + attach + detach + "left in /tmp:\n");
	EXPECT_EQ(commands.status, 0) << commands;
}

}  // namespace
