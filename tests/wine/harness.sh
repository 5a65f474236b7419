#!/usr/bin/env bash
# Runs Tessaril.exe under Wine as a user would, on its own Xvfb display.
#
#   harness.sh prepare WORK           makes the prefix every scenario copies
#   harness.sh run WORK SCENARIO      runs one scenario of scenarios.sh
#   harness.sh pictures WORK OUT      photographs the boxes into OUT (PNG)
#
# Environment (set by the CTest registration): TESSARIL_EXE, TESSARIL_BOXBOT,
# TESSARIL_LOCKER (the 32-bit program and helpers), TESSARIL_WINE (the loader),
# TESSARIL_WINESERVER, TESSARIL_WINEARCH (win32, or win64 for WOW64),
# TESSARIL_XVFB; and, for hosts where 32-bit Wine cannot run them,
# TESSARIL_EXE64, TESSARIL_BOXBOT64, TESSARIL_LOCKER64 (the x86_64 builds)
# and TESSARIL_WINE64.
#
# prepare proves that the prefix runs the helper of the build it is made
# for (locker.exe prints its usage): `wine --version` succeeds where no
# 32-bit program can run. A 32-bit prefix that cannot run it is replaced by
# a 64-bit one running the x86_64 build, which prepare says and writes into
# WORK/note; a WOW64 prefix that cannot run it makes the test and its
# scenarios skipped, with the reason. WORK/build.sh tells run and pictures
# which build the prefix is for.
#
# Everything one prefix does happens inside one Xvfb: the display is started
# first and every Wine command, the server included, sees it.
set -euo pipefail

mode=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=$TESSARIL_WINEARCH
wine=$TESSARIL_WINE

xvfb_pid=
cleanup() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    "$TESSARIL_WINESERVER" -k >/dev/null 2>&1 || true
    "$TESSARIL_WINESERVER" -w >/dev/null 2>&1 || true
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# Starts Xvfb on a display it picks itself and exports DISPLAY.
start_display() {
  local number_file=$1/display
  rm -f "$number_file"
  "$TESSARIL_XVFB" -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" \
    >"$1/xvfb.log" 2>&1 </dev/null &
  xvfb_pid=$!
  local i
  for i in $(seq 1 200); do
    if [ -s "$number_file" ]; then
      export DISPLAY=:$(head -n1 "$number_file")
      return 0
    fi
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "Xvfb did not start:" >&2
  cat "$1/xvfb.log" >&2
  exit 1
}

wine_run() { "$wine" "$@" </dev/null; }

# Makes the prefix WINEPREFIX for WINEARCH with $wine and runs the helper
# TESSARIL_LOCKER in it. Fails, with the reason in $why: 2 where the prefix
# cannot be made, 1 where the helper does not run in it.
make_prefix() {
  rm -rf "$WINEPREFIX"
  echo "making a $WINEARCH prefix with $wine"
  if ! wine_run wineboot -i >"$work/wineboot.log" 2>&1; then
    why="wineboot failed: $(grep -v '^\s*$' "$work/wineboot.log" | tail -n 1)"
    return 2
  fi
  local usage
  usage=$(wine_run "$TESSARIL_LOCKER" 2>&1 | tr -d '\r') || true
  if ! grep -q '^usage: locker.exe' <<<"$usage"; then
    why="the helper locker.exe did not run in it: $(tail -n 1 <<<"$usage")"
    return 1
  fi
}

# The build the prefix runs, for run and pictures.
write_build() {
  {
    printf 'TESSARIL_EXE=%q\nTESSARIL_BOXBOT=%q\nTESSARIL_LOCKER=%q\n' \
      "$TESSARIL_EXE" "$TESSARIL_BOXBOT" "$TESSARIL_LOCKER"
    printf 'TESSARIL_WINEARCH=%q\nWINEARCH=%q\nwine=%q\nbits=%q\n' \
      "$WINEARCH" "$WINEARCH" "$wine" "$1"
  } >"$work/build.sh"
}

case $mode in
prepare)
  rm -rf "$work"
  mkdir -p "$work"
  export WINEPREFIX=$work/base-prefix
  start_display "$work"
  bits=32
  why=
  made=0
  make_prefix || made=$?
  if [ $made -ne 0 ]; then
    if [ "$WINEARCH" = win64 ] && [ $made -eq 2 ]; then
      cat "$work/wineboot.log"
      exit 1
    elif [ "$WINEARCH" = win64 ]; then
      echo "SKIPPED: the 64-bit prefix cannot run the 32-bit program under WOW64 here ($why)" |
        tee "$work/skipped"
      exit 77
    fi
    if [ -z "${TESSARIL_EXE64:-}" ]; then
      echo "32-bit Wine cannot run 32-bit programs here ($why), and wine64 or"
      echo "g++-mingw-w64-x86-64-win32 is missing for the x86_64 build: no Wine scenarios"
      exit 1
    fi
    echo "32-bit Wine cannot run 32-bit programs here ($why):" \
      "the Wine scenarios run the x86_64 build of Tessaril.exe under $TESSARIL_WINE64" |
      tee "$work/note"
    # The failed prefix is moved aside, not deleted, until the new one is
    # made: a new folder on its inode would share its wineserver's socket
    # folder (named by device and inode).
    "$TESSARIL_WINESERVER" -k >/dev/null 2>&1 || true
    "$TESSARIL_WINESERVER" -w >/dev/null 2>&1 || true
    mv "$WINEPREFIX" "$work/prefix-32-bit-failed"
    TESSARIL_EXE=$TESSARIL_EXE64
    TESSARIL_BOXBOT=$TESSARIL_BOXBOT64
    TESSARIL_LOCKER=$TESSARIL_LOCKER64
    export WINEARCH=win64
    wine=$TESSARIL_WINE64
    bits=64
    make_prefix || { cat "$work/wineboot.log"; echo "$why"; exit 1; }
    rm -rf "$work/prefix-32-bit-failed"
  fi
  # The boxes as the program asked for them, the opening of the class key
  # and the restart request are made visible by tracing these calls.
  wine_run reg add 'HKCU\Software\Wine\Debug' /v RelayInclude \
    /d 'user32.MessageBoxA;RegCreateKeyExA;user32.ExitWindowsEx' /f >/dev/null ||
    { echo "cannot set the relay trace in the prefix"; exit 1; }
  "$TESSARIL_WINESERVER" -w
  [ -d "$WINEPREFIX/drive_c/windows/system32/drivers" ] || { echo "prefix has no drivers folder"; exit 1; }
  write_build $bits
  echo "prefix ready: $WINEPREFIX ($bits-bit program)"
  ;;
run | pictures)
  scenario=$3
  if [ "$mode" = pictures ]; then
    command -v import >/dev/null || { echo "SKIPPED: ImageMagick's import is missing"; exit 77; }
    mkdir -p "$3"
    out=$(cd "$3" && pwd)
    scenario=pictures
  fi
  if [ -f "$work/skipped" ]; then
    cat "$work/skipped"
    exit 77
  fi
  [ -f "$work/build.sh" ] || { echo "no prepared prefix in $work"; exit 1; }
  . "$work/build.sh"
  export WINEARCH
  if [ "$mode" = pictures ] && [ "$bits" != 32 ]; then
    echo "SKIPPED: the pictures show the 32-bit program, which 32-bit Wine cannot run here"
    exit 77
  fi
  dir=$work/$scenario
  rm -rf "$dir"
  mkdir -p "$dir"
  cp -a "$work/base-prefix" "$dir/prefix"
  export WINEPREFIX=$dir/prefix
  start_display "$dir"
  "$TESSARIL_WINESERVER" -p
  . "$here/scenarios.sh"
  if [ "$mode" = pictures ]; then
    pictures "$out"
  else
    "scenario_$scenario"
  fi
  finish
  ;;
*)
  echo "usage: harness.sh prepare WORK | run WORK SCENARIO | pictures WORK OUT" >&2
  exit 2
  ;;
esac
