# Debian packages the project needs, installed when missing.
# shellcheck shell=bash

BUILD_PACKAGES=(
	cmake make g++ pkg-config
	libgtest-dev libfuse3-dev libplist-dev libssl-dev
	openssl
)
TEST_PACKAGES=(
	bubblewrap fuse3 util-linux
	clang libclang-rt-14-dev
	python3 openssl
	strace
)
# The big-endian stage (scripts/test-ppc): a PowerPC cross compiler,
# qemu-user, GoogleTest's sources, and what fetches and unpacks Debian's
# libplist source package.
PPC_PACKAGES=(
	g++-powerpc-linux-gnu libc6-dev-powerpc-cross qemu-user
	googletest
	bubblewrap
)

installed() {
	dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# need_packages PKG...: install what is missing; as a non-root user, print
# the install line and stop.
need_packages() {
	local missing=() pkg
	for pkg in "$@"; do
		installed "$pkg" || missing+=("$pkg")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	if [ "$(id -u)" -ne 0 ]; then
		echo "Missing Debian packages. Install them with:" >&2
		echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
		exit 1
	fi
	echo "Installing: ${missing[*]}"
	export DEBIAN_FRONTEND=noninteractive
	apt-get install -y --no-install-recommends "${missing[@]}" ||
		{ apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
}
