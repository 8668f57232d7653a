# Set-up of the i386 stage of scripts/test: a kernel that runs 32-bit Intel
# programs, and GoogleTest built for i386 where the i386 preset looks.
# shellcheck shell=bash

# i386_runnable: makes sure this machine runs i386 programs.  Some kernels
# do not (32-bit support left out, or turned off under a hypervisor); there
# binfmt_misc hands every i386 program to qemu-i386.  The handler is
# machine-wide and stays: it only adds a way to run programs that could not
# run at all.  It keeps argv[0] (flag P) and holds the emulator open from
# now on (F), so that it works inside sandboxes too.
i386_runnable() {
	local probe=build-i386/i386-probe binfmt=/proc/sys/fs/binfmt_misc qemu
	mkdir -p build-i386
	printf 'int main(void) { return 0; }\n' | gcc -m32 -x c -o "$probe" -
	"$probe" 2>/dev/null && return 0

	qemu=$(command -v qemu-i386) || { echo "qemu-i386 is needed to run i386 programs here" >&2; return 1; }
	echo "== i386 programs run through $qemu: this kernel does not run them"
	[ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
	if [ -e $binfmt/qemu-i386 ] && ! grep -q '^flags:.*P' $binfmt/qemu-i386; then
		echo -1 >$binfmt/qemu-i386
	fi
	if [ ! -e $binfmt/qemu-i386 ]; then
		# ELF, 32-bit, little-endian, executable or shared object, Intel 80386
		printf '%s\n' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:PF" \
			>$binfmt/register
	fi
	echo 1 >$binfmt/qemu-i386
	"$probe" || { echo "i386 programs still do not run" >&2; return 1; }
}

# i386_googletest: GoogleTest from Debian's sources, built for i386 once
# into build-i386/googletest.
i386_googletest() {
	local prefix=$PWD/build-i386/googletest work=build-i386/googletest-build
	[ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ] && return 0
	echo "== i386 GoogleTest"
	cmake -S /usr/src/googletest -B "$work" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/linux-i386.cmake" \
		-DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
	cmake --build "$work" -j "${jobs:-2}" >/dev/null
	cmake --install "$work" >/dev/null
}
