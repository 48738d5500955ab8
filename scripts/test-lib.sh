# shellcheck shell=bash
# What the test scripts share; sourced, not run.

# native_build ROOT JOBS TARGET...
# Configures ROOT/build as scripts/test does (RelWithDebInfo, tests on,
# whatever an earlier configuration such as scripts/demo's chose) and
# builds TARGET... ("all": everything).
native_build() {
  local root=$1 jobs=$2
  shift 2
  cmake -B "$root/build" -S "$root" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROMWRIGHT_BUILD_TESTS=ON
  cmake --build "$root/build" -j"$jobs" --target "$@"
}

# The native build's command-test driver. The command tests drive the
# programs from outside, so the sanitized and the cross builds run this one
# against their own programs (ROMWRIGHT_CLI_TEST_DRIVER) instead of
# compiling it again.
native_cli_driver() {
  echo "$1/build/tests/romwright_cli_tests"
}
