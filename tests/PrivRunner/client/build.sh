#!/bin/sh
# build.sh BUILD_DIR WORK_DIR CMAKE CC CFLAGS: install BUILD_DIR under
# WORK_DIR/prefix, then build the client against it with pkg-config and
# with find_package; leaves WORK_DIR/client_pkgconfig, client_shared and
# client_static.
set -eu
build=$1 work=$2 cmake=$3 cc=$4 cflags=$5
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

libdir=$(dirname "$(find "$prefix" -name privrunner-output.pc)")/..
# shellcheck disable=SC2086
"$cc" $cflags -o "$work/client_pkgconfig" "$here/client.c" \
	$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs privrunner-output) \
	-Wl,-rpath,"$(cd "$libdir" && pwd)"

"$cmake" -S "$here" -B "$work/client-build" -DCMAKE_PREFIX_PATH="$prefix" \
	-DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" >/dev/null
"$cmake" --build "$work/client-build" >/dev/null
cp "$work/client-build/client_shared" "$work/client-build/client_static" "$work/"
