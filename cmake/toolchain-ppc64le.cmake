# Cross build for 64-bit little-endian POWER Linux on a Debian/Ubuntu host.
#
# Relies on:
#   - Debian's cross compiler (package g++-powerpc64le-linux-gnu), whose
#     private sysroot is /usr/powerpc64le-linux-gnu;
#   - target libraries installed through multiarch (dpkg architecture
#     ppc64el, e.g. libpci-dev:ppc64el), which land in
#     /usr/lib/powerpc64le-linux-gnu and /usr/include/powerpc64le-linux-gnu
#     (Debian's libpci-dev has no static archive and its libudev none either:
#     a -static link of the real program needs a libpci built without udev,
#     see ROMWRIGHT_EXTRA_SYSROOT below);
#   - qemu-ppc64le (package qemu-user) to run target binaries, so that ctest
#     can run the tests on the build host.
#
# Use with:  cmake -B build-ppc64le -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-ppc64le.cmake -DROMWRIGHT_STATIC=ON
# Static linking is what keeps qemu runs independent of a target dynamic
# loader and target shared libraries on the host.

set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(_rw_triple powerpc64le-linux-gnu)
set(_rw_qemu ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-powerpc64-common.cmake)
