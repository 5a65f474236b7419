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

# The hive fuzzer's hivex: hivex's library built from Debian's source package
# (the release of the libhivex0 installed) with AddressSanitizer and
# UndefinedBehaviorSanitizer, so that a memory error inside hivex is found.
# Built once into the folder given, where later runs find it; as root it adds
# the source index and the build's few packages when missing. Prints that
# folder (its libhivex.a and include/hivex.h); when it cannot be had, says why
# on standard error and returns 1.
tessaril_sanitized_hivex() {
  local dir=$1 version src
  version=$(dpkg-query -W -f='${source:Version}' libhivex0 2>/dev/null) || version=
  if [ -z "$version" ]; then
    echo "libhivex0 is not installed" >&2
    return 1
  fi
  if [ -f "$dir/built-$version" ] && [ -f "$dir/libhivex.a" ]; then
    echo "$dir"
    return 0
  fi
  if [ "$(id -u)" = 0 ]; then
    local need=()
    command -v dpkg-source >/dev/null || need+=(dpkg-dev)
    command -v pod2man >/dev/null || need+=(perl)
    pkg-config --exists libxml-2.0 2>/dev/null || need+=(libxml2-dev)
    command -v make >/dev/null || need+=(make)
    if ! apt-cache showsrc hivex 2>/dev/null | grep -q '^Package: hivex'; then
      # Debian's source index, beside the binary one of the same mirror.
      printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$(. /etc/os-release && echo "$VERSION_CODENAME")" >/etc/apt/sources.list.d/tessaril-deb-src.sources
      # An index that fails to download (a mirror in sync) is no reason to stop.
      DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null 2>&1 || true
    fi
    if [ ${#need[@]} -gt 0 ]; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null 2>&1 ||
        { echo "cannot install ${need[*]}, which the build of hivex needs" >&2; return 1; }
    fi
  fi
  rm -rf "$dir"
  mkdir -p "$dir/source" "$dir/include"
  if ! (cd "$dir/source" && apt-get source -q "hivex=$version") >"$dir/fetch.log" 2>&1; then
    echo "Debian's source package of hivex $version cannot be fetched: $(grep -m1 -E '^E:' "$dir/fetch.log" || tail -n 1 "$dir/fetch.log")" >&2
    return 1
  fi
  src=$(find "$dir/source" -mindepth 1 -maxdepth 1 -type d -name 'hivex-*' | head -n 1)
  # Only the library, static, with the fuzz build's sanitizers and checks.
  local flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
  flags="$flags -fno-sanitize=pointer-overflow,alignment"
  if ! (cd "$src" &&
        ./configure CC=clang CFLAGS="$flags" LDFLAGS="-fsanitize=address,undefined" --disable-shared \
          --enable-static --disable-ocaml --disable-perl --disable-python --disable-ruby --without-readline &&
        make -C gnulib/lib -j2 && make -C lib -j2 libhivex.la) >"$dir/build.log" 2>&1; then
    echo "hivex $version did not build with the sanitizers (see $dir/build.log)" >&2
    return 1
  fi
  cp "$src/lib/.libs/libhivex.a" "$dir/" && cp "$src/lib/hivex.h" "$dir/include/" && touch "$dir/built-$version" &&
    echo "$dir"
}
