#!/usr/bin/env bash
# Runs Tessaril.exe under Wine as a user would, on its own Xvfb display.
#
#   harness.sh prepare WORK           makes the prefix every scenario copies
#   harness.sh run WORK SCENARIO      runs one scenario of scenarios.sh
#   harness.sh pictures WORK OUT      photographs the boxes into OUT (PNG)
#
# Environment (set by the CTest registration): TESSARIL_EXE, TESSARIL_BOXBOT,
# TESSARIL_LOCKER (for the scenarios that use it), TESSARIL_WINE (the loader),
# TESSARIL_WINESERVER, TESSARIL_WINEARCH (win32 or win64), TESSARIL_XVFB.
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

case $mode in
prepare)
  rm -rf "$work"
  mkdir -p "$work"
  export WINEPREFIX=$work/base-prefix
  start_display "$work"
  echo "making a $WINEARCH prefix with $wine"
  wine_run wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
  # The boxes as the program asked for them, the opening of the class key
  # and the restart request are made visible by tracing these calls.
  wine_run reg add 'HKCU\Software\Wine\Debug' /v RelayInclude \
    /d 'user32.MessageBoxA;RegCreateKeyExA;user32.ExitWindowsEx' /f >/dev/null
  "$TESSARIL_WINESERVER" -w
  [ -d "$WINEPREFIX/drive_c/windows/system32/drivers" ] || { echo "prefix has no drivers folder"; exit 1; }
  if [ "$WINEARCH" = win64 ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
    echo "the 64-bit prefix has no syswow64 folder: it cannot run 32-bit programs"
    exit 1
  fi
  echo "prefix ready: $WINEPREFIX"
  ;;
run | pictures)
  scenario=$3
  if [ "$mode" = pictures ]; then
    command -v import >/dev/null || { echo "SKIPPED: ImageMagick's import is missing"; exit 77; }
    mkdir -p "$3"
    out=$(cd "$3" && pwd)
    scenario=pictures
  fi
  [ -d "$work/base-prefix" ] || { echo "no prepared prefix in $work"; exit 1; }
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
