# Cross build for 64-bit big-endian POWER Linux on a Debian/Ubuntu host.
#
# Relies on:
#   - Debian's cross compiler (package g++-powerpc64-linux-gnu), whose
#     private sysroot is /usr/powerpc64-linux-gnu;
#   - no target libraries beyond libc/libstdc++: Debian ships no big-endian
#     64-bit POWER architecture, so there is no multiarch libpci-dev for it;
#     either configure with -DROMWRIGHT_WITH_LIBPCI=OFF (the simulator and
#     the tests need no libpci), or put a libpci built by hand in
#     ROMWRIGHT_EXTRA_SYSROOT (scripts/cross-test does);
#   - qemu-ppc64 (package qemu-user) to run target binaries, so that ctest
#     can run the tests on the build host.
#
# Use with:  cmake -B build-ppc64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-ppc64.cmake -DROMWRIGHT_STATIC=ON
# Static linking is what keeps qemu runs independent of a target dynamic
# loader and target shared libraries on the host.

set(CMAKE_SYSTEM_PROCESSOR ppc64)
set(_rw_triple powerpc64-linux-gnu)
set(_rw_qemu ppc64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-powerpc64-common.cmake)
