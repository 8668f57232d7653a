#!/usr/bin/env bash
# build_with_makefile.sh SOURCE_DIR BUILD_DIR WORK_DIR CC CXX FLAGS LINKER_FLAGS
#                        LOCKED_OPEN_OPTIONS PREALLOCATE_OPTIONS
#
# Builds the eight programs and the reader library through Makefile.macosx
# here on Linux, as the CMake build in BUILD_DIR is built: with its
# compilers and FLAGS, against its platform layer (BUILD_DIR/lib) in place
# of Mac OS X's libraries, the linker options of the open() and fcntl()
# pieces given as CMake lists.  Then installs both builds into stages of
# their own and requires what the CMake build gives:
#   - the same files and links, with the same modes (but for the shared
#     library's, which CMake on Debian installs without execute bits, and
#     CMake's per-configuration export file);
#   - the same public key built into ArdovaUpdater, and the same pkg-config file;
#   - a CMake package that builds the installed example client;
#   - programs that do what the CMake build's do, byte for byte
#     (tests/cross/compare_programs.sh).
# Exits 1 on the first failure, saying what it was.
set -euo pipefail
src=$1 build=$2 work=$3 cc=$4 cxx=$5 flags=$6 linker_flags=$7
# LINKER:a,b;LINKER:c as the compiler driver takes them.
linker_options() { echo "$1" | sed -e 's/LINKER:/-Wl,/g' -e 's/;/ /g'; }
locked_open=$(linker_options "$8")
preallocate=$(linker_options "$9")

fail() {
	echo "makefile: $*" >&2
	exit 1
}

rm -rf "$work"
mkdir -p "$work"
make_args=(-f "$src/Makefile.macosx" BUILDDIR="$work/build" CC="$cc" CXX="$cxx"
	PLATFORM_CFLAGS="$flags -I$src/compat/include -pedantic-errors -U_GNU_SOURCE -D_DEFAULT_SOURCE -fPIC"
	LDFLAGS="$linker_flags -L$build/lib"
	PLATFORM_LIBS=-lcompat_libc CF_LIBS=-lcompat_cf DA_LIBS=-lcompat_da
	LOCKED_OPEN_LIBS="$locked_open -lcompat_locked_open"
	PREALLOCATE_LIBS="$preallocate -lcompat_preallocate"
	MKSTATIC="ar rcs" SHARED_LDFLAGS="-shared -Wl,-soname,libprivrunner-output.so.1"
	SHLIB_FILE=libprivrunner-output.so.1.0.0 SHLIB_SONAME=libprivrunner-output.so.1
	SHLIB_LINK=libprivrunner-output.so)
make "${make_args[@]}" -j2 >"$work/make.log" 2>&1 || { cat "$work/make.log"; fail "the build failed"; }
for program in ardova_ntfs_daemon PrivRunner ArdovaUpdater newfs_fusefs_ardntfs fusefs_ardntfs.repair \
	sbin_link_repair plist_set mntflags; do
	[ -x "$work/build/bin/$program" ] || fail "$program was not built"
done
make "${make_args[@]}" install DESTDIR="$work/make-stage" >"$work/install.log" 2>&1 ||
	{ cat "$work/install.log"; fail "the install failed"; }
DESTDIR="$work/cmake-stage" cmake --install "$build" >/dev/null

# Every file, folder and link of a stage with its type and mode.
layout() {
	(cd "$1" && find . -printf '%M %p %l\n' | LC_ALL=C sort -k2) |
		sed -e '/PrivRunnerOutputTargets-[a-z]*\.cmake/d' \
			-e 's/^[^ ]* \(\.\/usr\/local\/lib\/libprivrunner-output\.so\.1\.0\.0\)/(shared library) \1/'
}
diff -u <(layout "$work/cmake-stage") <(layout "$work/make-stage") || fail "the installs differ (- CMake, + makefile)"

cmp "$build/Tools/updater/ArdovaUpdater-key/public_key_pem.inc" "$work/build/updater-key/public_key_pem.inc" ||
	fail "the public key built into ArdovaUpdater differs"
pc=usr/local/lib/pkgconfig/privrunner-output.pc
cmp "$work/cmake-stage/$pc" "$work/make-stage/$pc" || fail "the pkg-config files differ"

prefix=$work/make-stage/usr/local
cmake -S "$prefix/share/doc/privrunner-output/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" \
	-DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$linker_flags" \
	>"$work/example.log" 2>&1 && cmake --build "$work/example" >>"$work/example.log" 2>&1 ||
	{ cat "$work/example.log"; fail "the example client does not build against the installed CMake package"; }

"$src/tests/cross/compare_programs.sh" "$build/bin" "$work/build/bin" ||
	fail "the programs do other than the CMake build's"
echo "makefile: the programs, the library and the install are the CMake build's"
