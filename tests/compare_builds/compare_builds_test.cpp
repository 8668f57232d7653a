// This build's programs and another build's, given the same work in one
// private root: every byte they write (standard output, standard error,
// exit status, the files they change) must be the same.  The other build's
// bin folder is /sandbox/other inside.
#include "sandbox.h"

#include <filesystem>

using sandbox::Result;
using sandbox::Sandbox;

namespace {

// both PROGRAM ARG...: runs each build's PROGRAM in its own copy of /tmp/w,
// then says "same" or shows what differs.  Process ids in the runner's
// stream differ from run to run and are left out.
const std::string helpers = R"sh(
mkdir -p /tmp/w
both() {
	_program=$1; shift
	rm -rf /tmp/bin /tmp/other
	for _build in bin other; do
		cp -a /tmp/w "/tmp/$_build"
		(cd "/tmp/$_build" && "/sandbox/$_build/$_program" "$@" >.out 2>.err; echo "status $?" >.status)
		[ "$_program" != PrivRunner ] || sed -i 's/^\(CHILD\)\{0,1\}PID: [0-9]*$/\1PID: N/' "/tmp/$_build/.out"
	done
	if diff -r /tmp/bin /tmp/other >/dev/null; then
		echo "same: $_program $*"
	else
		echo "DIFFERENT: $_program $*"
		for _build in bin other; do
			echo "[$_build]"
			(cd "/tmp/$_build" && for f in .out .err .status *; do [ -f "$f" ] && echo "$f:" && od -c "$f"; done)
		done
	fi
}
)sh";

class CompareBuilds : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX_WITH_FUSE();
		box.ro_binds.push_back({OTHER_BIN_DIR, "/sandbox/other"});
		box.ro_binds.push_back({PLIST_CORPUS, "/corpus"});
	}

	// Runs the script and checks that every comparison it made came out
	// the same; returns how many it made.
	size_t expect_same(const std::string &script)
	{
		Result r = box.sh(helpers + script);
		EXPECT_EQ(r.status, 0) << r;
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.out.find("DIFFERENT"), std::string::npos) << r.out;
		size_t same = 0;
		for (size_t at = r.out.find("same: "); at != std::string::npos; at = r.out.find("same: ", at + 1))
			same++;
		return same;
	}

	Sandbox box;
};

TEST_F(CompareBuilds, PlistSetWritesTheSameFiles)
{
	const size_t same = expect_same(R"sh(
		for f in /corpus/*; do
			cp "$f" /tmp/w/file
			both plist_set file Added "value <&> \"quoted\" é ü 漢字"
			both plist_set file Added ""
		done
		# Values whose text depends on the width of integers and of time.
		cat >/tmp/w/file <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>big</key><integer>1099511627776</integer>
	<key>min</key><integer>-9223372036854775808</integer>
	<key>max</key><integer>18446744073709551615</integer>
	<key>reals</key><array><real>0.1</real><real>1e300</real><real>-2.5e-300</real><real>3</real></array>
	<key>dates</key><array><date>1901-12-13T20:45:51Z</date><date>2038-01-19T03:14:08Z</date><date>2106-02-07T06:28:16Z</date><date>9999-12-31T23:59:59Z</date></array>
	<key>data</key><data>AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BB</data>
</dict>
</plist>
PLIST
		both plist_set file big changed
		both plist_set file new value
		both plist_set missing key value
		printf 'not a property list' >/tmp/w/file
		both plist_set file key value
		both plist_set file key
	)sh");
	size_t corpus_files = 0;
	for (const auto &entry : std::filesystem::directory_iterator(PLIST_CORPUS))
		corpus_files += entry.is_regular_file() ? 1 : 0;
	EXPECT_EQ(same, corpus_files * 2 + 5);
}

TEST_F(CompareBuilds, MntflagsPrintsTheSameFlags)
{
	const size_t same = expect_same(R"sh(
		m() { mkdir -p "$1"; mount -t tmpfs -o "$2" none "$1"; }
		m /tmp/plain rw
		m /tmp/all ro,nosuid,nodev,noexec,sync
		m /tmp/big size=20t,nosuid
		mkdir -p /tmp/layers/lower /tmp/layers/up /tmp/union && m /tmp/layers/up rw &&
			mkdir /tmp/layers/up/upper /tmp/layers/up/work &&
			mount -t overlay overlay -o lowerdir=/tmp/layers/lower,upperdir=/tmp/layers/up/upper,workdir=/tmp/layers/up/work,xino=on /tmp/union
		mount_testvol /tmp/vol 2>/dev/null
		for p in / /tmp /tmp/plain /tmp/all /tmp/big /tmp/union /tmp/vol /proc /dev /sandbox/bin /missing; do
			both mntflags "$p"
		done
		both mntflags
		both mntflags / /
	)sh");
	EXPECT_EQ(same, 13u);
}

TEST_F(CompareBuilds, PrivRunnerRelaysTheSameStream)
{
	const size_t same = expect_same(R"sh(
		both PrivRunner /bin/sh -c 'printf "line\n\000\001\177\200\377 end"; exit 3'
		both PrivRunner /bin/sh -c 'printf "to standard error\n" >&2'
		both PrivRunner /bin/sh -c 'kill -9 $$'
		both PrivRunner /missing/utility argument
		both PrivRunner
	)sh");
	EXPECT_EQ(same, 5u);
}

}  // namespace
