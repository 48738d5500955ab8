# Shell functions shared by scripts/cross-test and scripts/kernel-test
# (sourced, not run): the distribution's source packages fetched without
# touching the system's apt configuration, a static libpci and libmd for a
# POWER target, and the static POWER build trees.

# apt_source WORK PACKAGE[=VERSION] DEST
# Fetches and unpacks a source package into DEST (created), with source
# entries made from this machine's own apt sources in a private apt state
# under WORK, so that the system's configuration is left as it is. Needs
# dpkg-dev. Prints the unpacked directory.
apt_source() {
  local work=$1 pkg=$2 dest=$3
  rm -rf "$work"
  mkdir -p "$work/lists/partial" "$work/parts" "$dest"
  local f n=0
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    grep -qE '^Types:.*\bdeb\b' "$f" || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$f" >"$work/parts/src$n.sources"
    n=$((n + 1))
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    sed -nE 's/^deb[[:space:]]/deb-src /p' "$f" >"$work/parts/src$n.list"
    n=$((n + 1))
  done
  local apt_opts=(-q
    -o "Dir::Etc::SourceList=/dev/null"
    -o "Dir::Etc::SourceParts=$work/parts"
    -o "Dir::State::Lists=$work/lists"
    -o "APT::Sandbox::User=root")
  # A third-party entry without sources must not stop the rest.
  apt-get "${apt_opts[@]}" update >"$work/update.log" 2>&1 || true
  if ! (cd "$dest" && apt-get "${apt_opts[@]}" source "$pkg" >"$work/source.log" 2>&1); then
    echo "could not fetch the sources of $pkg (see $work/update.log, $work/source.log)" >&2
    tail -n 20 "$work/update.log" "$work/source.log" >&2 || true
    return 1
  fi
  local src
  src=$(find "$dest" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  [ -n "$src" ] || { echo "the sources of $pkg did not unpack" >&2; return 1; }
  echo "$src"
}

# build_static_libpci TRIPLE HOST SYSROOT
# Builds a static libpci for TRIPLE into SYSROOT (SYSROOT/usr/lib/TRIPLE and
# SYSROOT/usr/include/pci, with a .pc file), from the distribution's own
# pciutils source package. Debian ships libpci only as a shared library, and
# its libudev likewise, so a -static link cannot use them. Built without
# udev, zlib and DNS: the program only reads and writes configuration space
# and registers, which needs none of the ID-database helpers.
build_static_libpci() {
  local triple=$1 host=$2 sysroot=$3
  local libdir=$sysroot/usr/lib/$triple
  if [ -e "$libdir/libpci.a" ] && [ -e "$libdir/pkgconfig/libpci.pc" ]; then
    return 0
  fi
  local work=$sysroot.work
  rm -rf "$work" "$sysroot"
  local src
  src=$(apt_source "$work/apt" pciutils "$work/src") || return 1

  make -C "$src" CROSS_COMPILE="$triple-" HOST="$host" \
    ZLIB=no DNS=no LIBKMOD=no HWDB=no SHARED=no PREFIX=/usr \
    lib/libpci.a >"$work/make.log" 2>&1 \
    || { tail -n 30 "$work/make.log" >&2; return 1; }

  mkdir -p "$libdir/pkgconfig" "$sysroot/usr/include/pci"
  cp "$src/lib/libpci.a" "$libdir/"
  cp "$src/lib/pci.h" "$src/lib/header.h" "$src/lib/types.h" "$src/lib/config.h" \
     "$sysroot/usr/include/pci/"
  local version
  version=$(sed -n 's/^Version: *//p' "$src/lib/libpci.pc")
  cat >"$libdir/pkgconfig/libpci.pc" <<EOF
prefix=$sysroot/usr
libdir=\${prefix}/lib/$triple
includedir=\${prefix}/include

Name: libpci
Description: PCI access library (static, without udev, zlib and DNS)
Version: ${version:-0}
Libs: -L\${libdir} -lpci
Libs.private:
Cflags: -I\${includedir}
EOF
  rm -rf "$work"
}

# build_static_libmd TRIPLE SYSROOT
# Builds a static libmd (the message-digest library: SHA-256 of image
# files) for TRIPLE into SYSROOT, with a .pc file, from the distribution's
# own libmd source package: ppc64 has no Debian archive to take it from.
build_static_libmd() {
  local triple=$1 sysroot=$2
  local libdir=$sysroot/usr/lib/$triple
  if [ -e "$libdir/libmd.a" ] && [ -e "$libdir/pkgconfig/libmd.pc" ]; then
    return 0
  fi
  local work=$sysroot.work-md
  rm -rf "$work"
  local src
  src=$(apt_source "$work/apt" libmd "$work/src") || return 1
  (cd "$src" && ./configure --host="$triple" --prefix=/usr --libdir="/usr/lib/$triple"      --disable-shared --enable-static && make -j"${JOBS:-2}" && make DESTDIR="$sysroot" install)     >"$work/make.log" 2>&1 || { tail -n 30 "$work/make.log" >&2; return 1; }
  # The .pc file names the sysroot, as the toolchain's pkg-config expects.
  sed -i "s|^prefix=.*|prefix=$sysroot/usr|; s|^libdir=.*|libdir=\${prefix}/lib/$triple|"     "$libdir/pkgconfig/libmd.pc"
  rm -rf "$work"
}

# cross_triple ARCH: the GNU triple of ppc64 or ppc64le.
cross_triple() {
  case "$1" in
    ppc64le) echo powerpc64le-linux-gnu ;;
    ppc64) echo powerpc64-linux-gnu ;;
    *) echo "cross_triple: unknown architecture $1" >&2; return 1 ;;
  esac
}

# The build type of the trees for POWER: optimised as the delivered
# program (-O2), without debug information. Their programs run only under
# emulation, here and in the kernel rehearsal's guests, and leaving the
# debug information out saves about a third of their compile time.
cross_build_type=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG"
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG")

# package_cxx_flags ROOT ARCH: the C++ flags Debian's packages of ARCH are
# built with (dpkg-buildflags: fortified functions, stack protector, format
# checks), without -g. The trees for POWER and the RPM's tree
# (scripts/package rpm) are built with them alike: the tests run what is
# shipped, and the RPM's compiles are the compiler cache's hits.
package_cxx_flags() {
  local root=$1 arch=$2 deb_arch triple f flags=()
  case "$arch" in
    ppc64le) deb_arch=ppc64el ;;
    ppc64) deb_arch=ppc64 ;;
    *) echo "package_cxx_flags: unknown architecture $arch" >&2; return 1 ;;
  esac
  triple=$(cross_triple "$arch")
  local env=(env CC="$triple-gcc" dpkg-architecture -a "$deb_arch" -f -c)
  # From ROOT: -ffile-prefix-map names the folder the flags are asked in.
  for f in $(cd "$root" && "${env[@]}" dpkg-buildflags --get CPPFLAGS) \
           $(cd "$root" && "${env[@]}" dpkg-buildflags --get CXXFLAGS); do
    [ "$f" = -g ] || flags+=("$f")
  done
  echo "${flags[*]}"
}

# configure_cross_tree ROOT ARCH WITH_LIBPCI
# Configures ROOT/build-ARCH: static, for ARCH, with the real program
# linked against a static libpci built into ROOT/build-ARCH/_sysroot when
# WITH_LIBPCI is ON and that libpci can be had. Prints ON or OFF: whether
# the tree has the real program.
configure_cross_tree() {
  local root=$1 arch=$2 with_libpci=$3
  local dir=$root/build-$arch
  local triple
  triple=$(cross_triple "$arch")
  local extra=("-DROMWRIGHT_EXTRA_SYSROOT=$dir/_sysroot")
  if [ "$with_libpci" = ON ]; then
    if ! build_static_libpci "$triple" "$arch-linux" "$dir/_sysroot" >&2; then
      echo "$arch: no static libpci; the tree goes without the real program" >&2
      with_libpci=OFF
    fi
  fi
  # After libpci, whose build starts the sysroot afresh.
  build_static_libmd "$triple" "$dir/_sysroot" >&2 || { echo "$arch: cannot build a static libmd" >&2; return 1; }
  local cxxflags
  cxxflags=$(package_cxx_flags "$root" "$arch") || return 1
  cmake -B "$dir" -S "$root" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" \
    "${cross_build_type[@]}" -DCMAKE_CXX_FLAGS="$cxxflags" -DROMWRIGHT_STATIC=ON \
    -DROMWRIGHT_WITH_LIBPCI="$with_libpci" "${extra[@]}" >&2
  echo "$with_libpci"
}
