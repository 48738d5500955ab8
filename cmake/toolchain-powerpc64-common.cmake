# Shared part of the 64-bit POWER Linux toolchain files.  The including file
# sets CMAKE_SYSTEM_PROCESSOR, _rw_triple (the GNU triple of Debian's cross
# compiler) and _rw_qemu (the qemu-user emulator's suffix).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER   ${_rw_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_rw_triple}-g++)
# Makes find_library/find_path look in the multiarch directories
# (<root>/usr/lib/<triple>, <root>/usr/include/<triple>).
set(CMAKE_LIBRARY_ARCHITECTURE ${_rw_triple})

# Emulator used by ctest (and add_custom_command) to run target binaries.
find_program(ROMWRIGHT_QEMU_${_rw_qemu} NAMES qemu-${_rw_qemu} qemu-${_rw_qemu}-static)
if(ROMWRIGHT_QEMU_${_rw_qemu})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ROMWRIGHT_QEMU_${_rw_qemu}})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${_rw_qemu})
endif()

# Additional root searched first, for target libraries built or unpacked by
# hand (scripts/cross-test builds a static libpci there, as Debian ships none):
# -DROMWRIGHT_EXTRA_SYSROOT=DIR, or the environment variable of that name.
# Its libraries go in DIR/usr/lib/<triple>, its .pc files in
# DIR/usr/lib/<triple>/pkgconfig.
if(NOT ROMWRIGHT_EXTRA_SYSROOT AND NOT "$ENV{ROMWRIGHT_EXTRA_SYSROOT}" STREQUAL "")
  set(ROMWRIGHT_EXTRA_SYSROOT "$ENV{ROMWRIGHT_EXTRA_SYSROOT}")
endif()
# try_compile projects read this file again: hand them the setting too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ROMWRIGHT_EXTRA_SYSROOT)

# Search roots for target headers, libraries and packages:
#   /usr/<triple>  the cross compiler's own sysroot (libc, libstdc++);
#   /           with CMAKE_LIBRARY_ARCHITECTURE this reaches the multiarch
#               target directories /usr/lib/<triple> and /usr/include/<triple>.
set(CMAKE_FIND_ROOT_PATH /usr/${_rw_triple} /)
if(ROMWRIGHT_EXTRA_SYSROOT)
  list(INSERT CMAKE_FIND_ROOT_PATH 0 "${ROMWRIGHT_EXTRA_SYSROOT}")
  # Plain -lNAME items (such as pkg-config's static library lists) must find
  # the archives there too, not only full paths that find_library returned.
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${ROMWRIGHT_EXTRA_SYSROOT}/usr/lib/${_rw_triple}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the target's .pc files only, never the build host's
# (/usr/lib/x86_64-linux-gnu/pkgconfig), or pkg_check_modules(libpci) would
# hand the host library to the target link.
set(_rw_pc_libdir "/usr/lib/${_rw_triple}/pkgconfig:/usr/share/pkgconfig")
if(ROMWRIGHT_EXTRA_SYSROOT)
  set(_rw_pc_libdir "${ROMWRIGHT_EXTRA_SYSROOT}/usr/lib/${_rw_triple}/pkgconfig:${_rw_pc_libdir}")
endif()
set(ENV{PKG_CONFIG_LIBDIR} "${_rw_pc_libdir}")
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})
