#!/usr/bin/env bash
# Builds the Debian package of tessaril from the build folder, unpacks it into
# a scratch folder (it is not installed), and checks it: its files, that its
# dependencies name libhivex0, that its README is the users' one, that its
# tessaril repairs a sample installation, that its manual page renders, that
# its program has the hardening Debian builds with (hardening-check, and no
# hardening tag from lintian), and that lintian finds no error in it.
#
#   check_package.sh BUILD_DIR MAKE_SAMPLE WORK_DIR VERSION BUILD SOURCE_DIR CXX
#
# BUILD is "this" where BUILD_DIR's configuration optimises; otherwise it
# names that configuration, which has no fortify, and the package is made
# from an optimised build of SOURCE_DIR with CXX, kept in WORK_DIR-optimised.
set -euo pipefail
build=$1 make_sample=$2 work=$3 version=$4 which=$5 source=$6 cxx=$7
skip=77

for tool in lintian dpkg-deb dpkg-shlibdeps file man cpack hardening-check; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is missing (scripts/deps.sh installs it)"
    exit $skip
  fi
done

fail() { echo "FAIL: $*"; status=1; }
status=0
rm -rf "$work" && mkdir -p "$work"
if [ "$which" != this ]; then
  optimised=$work-optimised
  echo "this is a ${which:-untyped} build, without fortify: packaging an optimised" \
    "(RelWithDebInfo) build of the same sources, in $optimised"
  { cmake -S "$source" -B "$optimised" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER="$cxx" -DBUILD_TESTING=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON &&
    cmake --build "$optimised" -j 2 --target tessaril tessaril_docs; } >"$work/optimised.log" 2>&1 || {
    cat "$work/optimised.log"; echo "FAIL: the optimised build"; exit 1; }
  build=$optimised
fi
cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$work/tessaril_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$work"; echo "FAIL: no $deb"; exit 1; }

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $NF}')
expected='-rwxr-xr-x ./usr/bin/tessaril
-rw-r--r-- ./usr/share/doc/tessaril/README.md
-rw-r--r-- ./usr/share/doc/tessaril/changelog.gz
-rw-r--r-- ./usr/share/doc/tessaril/copyright
-rw-r--r-- ./usr/share/man/man1/tessaril.1.gz'
[ "$(LC_ALL=C sort -k2 <<<"$files")" = "$expected" ] || fail "files in the package: $files"
# The README installed is the one for the program's users, not the project's.
readme=$work/root/usr/share/doc/tessaril/README.md
dpkg-deb -x "$deb" "$work/root"
cmp -s "$readme" "$(dirname "$0")/../../packaging/README.md" || fail "the installed README is not packaging/README.md"
for developer in scripts/test.sh cmake docs/ .png fuzz; do
  ! grep -q -- "$developer" "$readme" || fail "the installed README speaks of $developer"
done
grep -q 'system.before-tessaril-' "$readme" || fail "the installed README does not tell how to put the hive back"
depends=$(dpkg-deb -f "$deb" Depends)
grep -Eq '(^|, )libhivex0( |,|$)' <<<"$depends" || fail "Depends lacks libhivex0: $depends"
# libguestfs is loaded at run time for images only: recommended, never a
# dependency, and not a library the program needs to start.
! grep -q libguestfs <<<"$depends" || fail "Depends names libguestfs: $depends"
[ "$(dpkg-deb -f "$deb" Recommends)" = libguestfs0 ] || fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"

root=$work/root
exe=$root/usr/bin/tessaril
! objdump -p "$exe" | grep -q 'NEEDED.*libguestfs' || fail "the program needs libguestfs to start"
[ "$("$exe" --version | head -n 1)" = "tessaril $version" ] || fail "--version: $("$exe" --version)"
windows=$("$make_sample" "$work/sample")
out=$("$exe" --yes "$windows" </dev/null) || fail "the packaged tessaril exited with $?"
grep -q '^Yes or No? n$' <<<"$out" || fail "no restart answer shown: $out"
entries=('Operating System = Windows XP'
  'Before create Gravle2k in UpperFilters values: redbook|OldBurner|imapi|x?y|ab'
  'After create Gravle2k in UpperFilters values: redbook|imapi|Gravle2k'
  'Before create kvt_2k in UpperFilters values: redbook|imapi|Gravle2k'
  'After create kvt_2k in UpperFilters values: redbook|imapi|Gravle2k|kvt_2k'
  'Before create Mbx7_xp in LowerFilters values: PxHelp20|StaleLow'
  'After create Mbx7_xp in LowerFilters values: PxHelp20|Mbx7_xp')
for m in "${entries[@]}"; do printf '%s\r\n\r\n%s\r\n' "$m" "$m"; done >"$work/expected.log"
cmp "$work/expected.log" "$windows/Temp/Tessaril.log" || fail "log of the packaged tessaril"

page=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/tessaril.1.gz" 2>"$work/man.err")
[ ! -s "$work/man.err" ] || fail "man warns: $(cat "$work/man.err")"
grep -q "tessaril --yes --backup xp.qcow2" <<<"$page" || fail "the manual page lacks the image recipe"
grep -q 'tessaril --check --json /srv/images/\*.qcow2' <<<"$page" || fail "the manual page lacks the recipe for many images"
grep -q 'parallel --sshlogin' <<<"$page" || fail "the manual page lacks the recipe for several hosts"
grep -q "mv system.before-tessaril-" <<<"$page" || fail "the manual page does not tell how to put the hive back"
grep -q "tessaril $version" <<<"$page" || fail "the manual page does not name version $version"

# The packaged (stripped) program: position independent, stack protector,
# fortified libc calls, read-only relocations and immediate binding.
hardening=$(hardening-check "$exe" 2>&1) || true
echo "$hardening"
for feature in 'Position Independent Executable' 'Stack protected' \
    'Fortify Source functions' 'Read-only relocations' 'Immediate binding'; do
  grep -q "^ $feature: yes" <<<"$hardening" || fail "hardening-check: $feature is not yes"
done

# Errors fail the test, and so does any hardening tag (some are only shown
# with --display-info); what lintian says besides is shown in the output.
if ! lintian --display-info --fail-on error "$deb" >"$work/lintian.log" 2>&1; then
  fail "lintian reports errors (or did not run)"
fi
grep -v '^running with root privileges' "$work/lintian.log" || true
if grep -q 'hardening-' "$work/lintian.log"; then
  fail "lintian finds the program not hardened: $(grep 'hardening-' "$work/lintian.log")"
fi
[ $status -eq 0 ] && echo "package $deb: Depends: $depends"
exit $status
