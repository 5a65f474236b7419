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
  tessaril_apt_update
  # A package the mirror cannot give (wine32:i386 when the i386 index is
  # missing or behind the amd64 one) stops only what needs it: the rest are
  # installed one by one.
  apt-get install -y -q -o DPkg::Lock::Timeout=600 "${need[@]}" && return 0
  echo "deps.sh: not everything installs at once; installing one package at a time" >&2
  local pkg missing=()
  for pkg in "${need[@]}"; do
    apt-get install -y -q -o DPkg::Lock::Timeout=600 "$pkg" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "deps.sh: these packages cannot be installed now: ${missing[*]}; going on without them" >&2
  if [[ " ${missing[*]} " == *" wine32:i386 "* ]]; then
    echo "deps.sh: without wine32 no 32-bit program runs under Wine here: the Wine scenarios" \
      "run the x86_64 build of Tessaril.exe under wine64, and the WOW64 ones and the pictures" \
      "are skipped" >&2
  fi
}

# apt-get update, tried again after a pause when it fails: a mirror in the
# middle of a sync serves an index of the wrong size for a while. Where an
# index still fails, the packages are installed from the lists there are.
tessaril_apt_update() {
  local try
  for try in 1 2 3; do
    apt-get update -q -o DPkg::Lock::Timeout=600 && return 0
    [ $try -eq 3 ] || { echo "deps.sh: apt-get update failed; trying again in 20 s" >&2; sleep 20; }
  done
  echo "deps.sh: apt-get update still fails for some index (see above);" \
    "installing from the package lists there are" >&2
}
