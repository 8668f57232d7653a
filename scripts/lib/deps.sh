# Debian packages the project needs, installed when missing.
# shellcheck shell=bash

# scripts/build: the programs, the reader library, the example client and
# the manual pages.  libcrypto serves ArdovaUpdater, and the openssl
# command checks the key built into it.
BUILD_PACKAGES=(
	cmake make g++
	libssl-dev openssl
)
# The test suite's build besides (scripts/test, scripts/try): GoogleTest,
# libfuse3 for the test volumes, and libplist, whose XML writer the
# platform layer's is compared with.
TEST_BUILD_PACKAGES=(
	libgtest-dev libfuse3-dev libplist-dev pkg-config
)
# Running the suite (scripts/test): the sandbox and FUSE, clang for the
# fuzz targets, and what some tests run besides the programs.
TEST_PACKAGES=(
	bubblewrap fuse3 util-linux
	clang libclang-rt-14-dev
	python3 openssl man-db
	strace
)
# The playground of scripts/try: the tests' sandbox and test volumes.
TRY_PACKAGES=(
	bubblewrap fuse3 openssl
)
# scripts/bench: its baselines are a libplist program and Python's plistlib.
BENCH_PACKAGES=(
	libplist-dev pkg-config python3 bubblewrap fuse3
)
# The big-endian stage (scripts/test-ppc): a PowerPC cross compiler,
# qemu-user and GoogleTest's sources.
PPC_PACKAGES=(
	g++-powerpc-linux-gnu libc6-dev-powerpc-cross qemu-user
	googletest
	bubblewrap
)
# The i386 stage: the multilib compiler (gcc-multilib would conflict with
# the PowerPC cross compiler; g++-12-multilib does not), the 32-bit
# libraries of dpkg's i386 architecture, GoogleTest's sources to build for
# i386, and qemu-user for kernels that do not run 32-bit programs.
I386_PACKAGES=(
	g++-12-multilib googletest
	libssl-dev:i386 libfuse3-dev:i386 libplist-dev:i386 libstdc++6:i386
	qemu-user
)

installed() {
	dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The architectures named by PKG:ARCH arguments that dpkg does not know yet.
unknown_architectures() {
	local pkg arch known
	known=" $(dpkg --print-architecture) $(dpkg --print-foreign-architectures | tr '\n' ' ') "
	for pkg in "$@"; do
		[[ $pkg == *:* ]] || continue
		arch=${pkg##*:}
		[[ $known == *" $arch "* ]] && continue
		echo "$arch"
		known+="$arch "
	done
}

# need_packages PKG...: install what is missing, adding the architecture of
# PKG:ARCH packages to dpkg first; as a non-root user, print the commands
# and stop.
need_packages() {
	local missing=() archs=() pkg arch
	for pkg in "$@"; do
		installed "$pkg" || missing+=("$pkg")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	mapfile -t archs < <(unknown_architectures "${missing[@]}")
	if [ "$(id -u)" -ne 0 ]; then
		echo "Missing Debian packages. Install them with:" >&2
		for arch in "${archs[@]}"; do
			echo "  sudo dpkg --add-architecture $arch" >&2
		done
		[ ${#archs[@]} -eq 0 ] || echo "  sudo apt-get update" >&2
		echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
		exit 1
	fi
	export DEBIAN_FRONTEND=noninteractive
	if [ ${#archs[@]} -ne 0 ]; then
		for arch in "${archs[@]}"; do
			echo "Adding the Debian architecture $arch"
			dpkg --add-architecture "$arch"
		done
		apt-get update
	fi
	echo "Installing: ${missing[*]}"
	apt-get install -y --no-install-recommends "${missing[@]}" ||
		{ apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
}
