# Installs, when missing, what the build and the tests need (Debian, as root).
# "tessaril_install_deps demo" installs only what building and running the
# offline program needs; with no argument, everything the tests need too.
tessaril_install_deps() {
  local what=${1:-all}
  local need=()
  command -v cmake >/dev/null || need+=(cmake)
  command -v g++ >/dev/null || need+=(g++)
  command -v pkg-config >/dev/null || need+=(pkg-config)
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev googletest)
  [ -f /usr/include/hivex.h ] || need+=(libhivex-dev)
  # The JSON report (--json) is written with nlohmann's header-only library.
  [ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
  command -v reglookup >/dev/null || need+=(reglookup)
  local wine_needed=0
  if [ "$what" = all ]; then
    command -v hivexsh >/dev/null || need+=(libhivex-bin)
    command -v regfinfo >/dev/null || need+=(libregf-utils)
    command -v xz >/dev/null || need+=(xz-utils)
    # Python's code page codecs are the reference the conversion tables are
    # checked against.
    command -v python3 >/dev/null || need+=(python3)
    command -v i686-w64-mingw32-g++-win32 >/dev/null || need+=(g++-mingw-w64-i686-win32)
    # The 64-bit build of the Windows program runs the Wine scenarios on
    # hosts that cannot execute 32-bit code.
    command -v x86_64-w64-mingw32-g++-win32 >/dev/null || need+=(g++-mingw-w64-x86-64-win32)
    dpkg -s wine64 >/dev/null 2>&1 || need+=(wine64)
    command -v Xvfb >/dev/null || need+=(xvfb)
    command -v clang++ >/dev/null || need+=(clang)
    [ -d /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux ] || need+=(libclang-rt-14-dev)
    [ -x /usr/bin/time ] || need+=(time)
    # The pictures of the boxes (ImageMagick's import and identify).
    command -v import >/dev/null || need+=(imagemagick)
    # The caption buttons' font, copied into the prefix for the pictures.
    [ -f /usr/share/wine/fonts/marlett.ttf ] || need+=(fonts-wine)
    # The Debian package test: cpack's dependency list (file, dpkg-shlibdeps),
    # the manual page, lintian and hardening-check.
    command -v file >/dev/null || need+=(file)
    command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
    command -v man >/dev/null || need+=(man-db)
    command -v lintian >/dev/null || need+=(lintian)
    command -v hardening-check >/dev/null || need+=(devscripts)
    command -v ntfs-3g >/dev/null || need+=(ntfs-3g)
    # Disk images: libguestfs's header to build the image support, guestfish
    # to write and read back the test images, and a kernel for libguestfs's
    # appliance (a fresh machine or container may have none in /boot).
    [ -f /usr/include/guestfs.h ] || need+=(libguestfs-dev)
    command -v guestfish >/dev/null || need+=(libguestfs-tools)
    ls /boot/vmlinuz-* >/dev/null 2>&1 || need+=("linux-image-$(dpkg --print-architecture)")
    if ! command -v wine >/dev/null || ! dpkg -s wine32:i386 >/dev/null 2>&1; then
      wine_needed=1
    fi
  fi
  if [ ${#need[@]} -eq 0 ] && [ $wine_needed -eq 0 ]; then
    return 0
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${need[*]}$([ $wine_needed -eq 1 ] && echo ' wine wine32:i386'); run as root to install them" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if [ $wine_needed -eq 1 ]; then
    dpkg --add-architecture i386
    need+=(wine wine32:i386)
  fi
  apt-get update -q
  apt-get install -y -q "${need[@]}"
}
