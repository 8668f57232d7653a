# The build of the default preset, in build/: the programs with the test
# suite, which scripts/test runs and scripts/try and scripts/bench use.
# shellcheck shell=bash

# build_suite [TARGET...]: configures build/ and builds TARGETs, or all.
build_suite() {
	need_packages "${BUILD_PACKAGES[@]}" "${TEST_BUILD_PACKAGES[@]}"
	cmake --preset default >/dev/null
	cmake --build --preset default -j "$(nproc)" ${1:+--target "$@"}
}
