#!/bin/sh
# build.sh BUILD_DIR WORK_DIR CMAKE CC CFLAGS: install BUILD_DIR under
# WORK_DIR/prefix, then build the client against it with pkg-config and
# with find_package, and the example client from its installed source both
# ways, starting the PrivRunner of that install; leaves WORK_DIR/
# client_pkgconfig, client_shared, client_static, privrun_pkgconfig and
# privrun_cmake.
set -eu
build=$1 work=$2 cmake=$3 cc=$4 cflags=$5
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

libdir=$(cd "$(dirname "$(find "$prefix" -name privrunner-output.pc)")/.." && pwd)
# with_pkgconfig OUTPUT SOURCE [OPTION...]
with_pkgconfig() {
	out=$1 source=$2
	shift 2
	# shellcheck disable=SC2086
	"$cc" $cflags "$@" -o "$out" "$source" \
		$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs privrunner-output) \
		-Wl,-rpath,"$libdir"
}
# with_cmake SOURCE_DIR BUILD_DIR [OPTION...]
with_cmake() {
	source=$1 out=$2
	shift 2
	"$cmake" -S "$source" -B "$out" -DCMAKE_PREFIX_PATH="$prefix" \
		-DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" "$@" >/dev/null
	"$cmake" --build "$out" >/dev/null
}

with_pkgconfig "$work/client_pkgconfig" "$here/client.c"
with_cmake "$here" "$work/client-build"
cp "$work/client-build/client_shared" "$work/client-build/client_static" "$work/"

examples=$prefix/share/doc/privrunner-output/examples
runner=$prefix/sbin/PrivRunner
with_pkgconfig "$work/privrun_pkgconfig" "$examples/privrun.c" -DPRIVRUNNER_PATH="\"$runner\""
with_cmake "$examples" "$work/privrun-build" -DPRIVRUNNER_PATH="$runner"
cp "$work/privrun-build/privrun" "$work/privrun_cmake"
