// The update installer's own functions, called in-process: the program's
// source is compiled in with main renamed, and its built-in key is the test
// key.
#include "ArdovaUpdater.cpp"

#include <sys/mman.h>

#include <gtest/gtest.h>

#include "sandbox.h"

#include <string>

namespace {

using sandbox::TempDir;

std::string package_for(const char *release)
{
	const char *package = choose_package(release);
	return package == nullptr ? "refused" : package;
}

const std::string flat = ".packages/Flat/Install Ardova NTFS.mpkg";
const std::string bundle = ".packages/Bundle/Install Ardova NTFS.mpkg";

TEST(UpdaterChoosePackage, FlatFromRelease12Point5On)
{
	for (const char *release : {"12.5.0", "13.0.0", "12.10", "12.5.0b", "12.5", "20.1.0"})
		EXPECT_EQ(package_for(release), flat) << release;
	for (const char *release : {"12.4.9", "11.4.2", "10.8.0", "9.8.0", "12", "", "12.4", "6.1.0-18-amd64", ".5"})
		EXPECT_EQ(package_for(release), bundle) << release;
}

TEST(UpdaterChoosePackage, AnyOtherCharacterBeforeTheSecondDotIsRefused)
{
	for (const char *release : {"12a.1", "a", "12.4a", "12.5-rc1", "-1.0", " 12.5", "12,5.0"})
		EXPECT_EQ(package_for(release), "refused") << release;
	// After the second '.' nothing counts.
	EXPECT_EQ(package_for("12.5.x y"), flat);
	EXPECT_EQ(package_for("12.4..5"), bundle);
}

TEST(UpdaterChoosePackage, NumbersTooLargeForAnIntCountAsTheLargest)
{
	EXPECT_EQ(package_for("99999999999999999999.0"), flat);
	EXPECT_EQ(package_for("12.99999999999999999999"), flat);
	EXPECT_EQ(package_for("2147483647.0"), flat);
	EXPECT_EQ(package_for("0.99999999999999999999"), bundle);
}

// The device named by the given attach output, or the result code.
std::string device_from(const std::string &output)
{
	FILE *stream = fmemopen(const_cast<char *>(output.data()), output.size(), "r");
	if (stream == nullptr)
		return "fmemopen failed";
	char device[line_size];
	memset(device, 'x', sizeof device);
	int result = read_device_name(stream, device);
	// The whole output is consumed.
	bool at_end = fgetc(stream) == EOF;
	fclose(stream);
	if (!at_end)
		return "output not read to its end";
	return result == 0 ? std::string(device) : "result " + std::to_string(result);
}

TEST(UpdaterDeviceName, FirstLineThatBeginsWithDevDiskCutAtBlankTabOrLineEnd)
{
	EXPECT_EQ(device_from("/dev/disk4          \tGUID_partition_scheme          \t\n"
			      "/dev/disk4s1        \tApple_HFS                      \t/tmp/x\n"),
		  "/dev/disk4");
	EXPECT_EQ(device_from("expected CRC32 $5A1B2C3D\n/dev/disk2s1\tApple_HFS\t/x\n/dev/disk1\n"), "/dev/disk2s1");
	EXPECT_EQ(device_from("/dev/disk4 x\n"), "/dev/disk4");
	EXPECT_EQ(device_from("/dev/disk4\n"), "/dev/disk4");
	EXPECT_EQ(device_from("/dev/disk4"), "/dev/disk4");
	EXPECT_EQ(device_from("/dev/disk"), "/dev/disk");
	EXPECT_EQ(device_from("/dev/disk4$`\"\\'\n"), "/dev/disk4$`\"\\'");
}

TEST(UpdaterDeviceName, NoLineBeginsWithDevDisk)
{
	EXPECT_EQ(device_from(""), "result 5");
	EXPECT_EQ(device_from("hdiutil: attach failed - no mountable file systems\n"), "result 5");
	EXPECT_EQ(device_from(" /dev/disk4\t\n/dev/rdisk4\n/dev/dis\n/DEV/DISK4\n"), "result 5");
}

TEST(UpdaterDeviceName, LongLinesArriveInPiecesTestedOneByOne)
{
	// 1023 characters fill one read; the rest of the line is a piece of
	// its own, and counts when it begins with /dev/disk.
	const std::string filler(1023, 'a');
	EXPECT_EQ(device_from(filler + "/dev/disk6\tx\n/dev/disk4\n"), "/dev/disk6");
	EXPECT_EQ(device_from(std::string(1022, 'a') + "/dev/disk6\n/dev/disk4\n"), "/dev/disk4");

	// A device line longer than a read: the name is its first 1023 characters.
	const std::string long_name = "/dev/disk" + std::string(2000, '7');
	EXPECT_EQ(device_from(long_name + "\tGUID\n"), long_name.substr(0, 1023));
}

// What /bin/sh makes of the command that prints text.
std::string through_shell(const char *text)
{
	char *command = shell_command("printf %s ", "\"%s\"", text, nullptr);
	if (command == nullptr)
		return "no command";
	std::string out;
	FILE *shell = popen(command, "r");
	free(command);
	if (shell == nullptr)
		return "popen failed";
	char buffer[4096];
	for (size_t n; (n = fread(buffer, 1, sizeof buffer, shell)) > 0;)
		out.append(buffer, n);
	if (pclose(shell) != 0)
		return "shell failed: " + out;
	return out;
}

TEST(UpdaterShellCommand, EveryCharacterReachesTheCommandUnchanged)
{
	std::string every_byte;
	for (int c = 1; c < 256; c++)
		every_byte += char(c);
	for (const std::string &text : {std::string("plain"), std::string(""), std::string("\"$HOME`id`\\\"\\"),
					std::string("a\nb\n"), std::string("\\\n"), std::string("$(touch /x)'\""),
					every_byte})
		EXPECT_EQ(through_shell(text.c_str()), text);
}

TEST(UpdaterShellCommand, PlainPathsGiveTheUsualCommands)
{
	struct {
		char *command;
		const char *expected;
	} cases[] = {
		{shell_command(hdiutil_attach_command_template, "\"%s\" \"%s\"", "/tmp/ardova_updater.Ab12Cd",
			       "/tmp/ardova_updater_image.Ef34Gh/update.dmg"),
		 "hdiutil attach -mountpoint \"/tmp/ardova_updater.Ab12Cd\" "
		 "\"/tmp/ardova_updater_image.Ef34Gh/update.dmg\""},
		{shell_command("installer -pkg ", "\"%s/%s\" -target /\n", "/tmp/ardova_updater.Ab12Cd", flat_package),
		 "installer -pkg \"/tmp/ardova_updater.Ab12Cd/.packages/Flat/Install Ardova NTFS.mpkg\" -target /\n"},
		{shell_command("hdiutil detach ", "\"%s\"", "/dev/disk4", nullptr), "hdiutil detach \"/dev/disk4\""},
		{shell_command("hdiutil detach ", "\"%s\"", "/dev/disk4$`\"\\", nullptr),
		 "hdiutil detach \"/dev/disk4\\$\\`\\\"\\\\\""},
	};
	for (auto &c : cases) {
		ASSERT_NE(c.command, nullptr);
		EXPECT_STREQ(c.command, c.expected);
		free(c.command);
	}
}

// An image signed with the test key, verified with the signature in memory
// that cannot be written: any write to it would crash.
class UpdaterVerify : public testing::Test {
protected:
	void SetUp() override
	{
		std::string content;
		for (size_t i = 0; i < 300000; i++)
			content += char((i * 7 + i / 131072) & 0xff);
		sandbox::write_file(image(), content);
		std::string command = "openssl dgst -sha1 -sign '" UPDATER_TEST_KEY "' -out '" + dir / "image.sig" +
				      "' '" + image() + "'";
		ASSERT_EQ(system(command.c_str()), 0) << command;
		std::string signature = sandbox::read_file(dir / "image.sig");
		ASSERT_EQ(signature.size(), 512u);
		page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		ASSERT_NE(page, MAP_FAILED);
		memcpy(page, signature.data(), signature.size());
		mprotect(page, 4096, PROT_READ);
	}
	void TearDown() override { munmap(page, 4096); }

	int verify(const std::string &copy = "")
	{
		int copy_fd = open((copy.empty() ? dir / "copy" : copy).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		copy_error = 0;
		int result = verify_update_image(image().c_str(), static_cast<unsigned char *>(page), 512, copy_fd,
						 &copy_error);
		close(copy_fd);
		return result;
	}
	std::string image() const { return dir / "image.dmg"; }

	TempDir dir;
	void *page = MAP_FAILED;
	int copy_error = 0;
};

TEST_F(UpdaterVerify, SignatureIsNeverWrittenAndTheCopyIsTheImage)
{
	EXPECT_EQ(verify(), 0);
	EXPECT_EQ(sandbox::read_file(dir / "copy"), sandbox::read_file(image()));
}

TEST_F(UpdaterVerify, ImageWithoutAFilePositionGivesTheErrorNumber)
{
	unlink(image().c_str());
	ASSERT_EQ(mkfifo(image().c_str(), 0600), 0);
	int writer = open(image().c_str(), O_RDWR);  // so that opening it to read does not wait
	EXPECT_EQ(verify(), ESPIPE);
	close(writer);
}

TEST_F(UpdaterVerify, CopyThatCannotBeWrittenLeavesTheVerdictToTheSignature)
{
	// The whole image is still digested: the signature decides first.
	EXPECT_EQ(verify("/dev/full"), 0);
	EXPECT_EQ(copy_error, ENOSPC);
	sandbox::write_file(image(), sandbox::read_file(image()) + "x");
	EXPECT_EQ(verify("/dev/full"), EIO);
	EXPECT_EQ(copy_error, ENOSPC);
	EXPECT_EQ(verify(), EIO);
	EXPECT_EQ(copy_error, 0);
}

TEST(UpdaterDigest, ReadThatDoesNotAdvanceEndsTheDigest)
{
	// Every read of /dev/zero succeeds and its position stays 0.
	EXPECT_EXIT(
		{
			alarm(30);
			FILE *zero = fopen("/dev/zero", "rb");
			unsigned char *buffer = static_cast<unsigned char *>(malloc(read_buffer_size));
			SHA_CTX sha;
			SHA1_Init(&sha);
			int copy_error = 0;
			int result = digest_and_copy(zero, buffer, &sha, -1, &copy_error);
			free(buffer);
			fclose(zero);
			exit(result);
		},
		testing::ExitedWithCode(EIO), "");
}

TEST(UpdaterEntry, EmptyArgumentVectorIsAUsageError)
{
	char *argv[] = {nullptr};
	EXPECT_EXIT(exit(updater_main(0, argv)), testing::ExitedWithCode(1),
		    "^usage: ArdovaUpdater <dmg filename> <signature filename>\n$");
}

}  // namespace
