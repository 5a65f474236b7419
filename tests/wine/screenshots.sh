#!/usr/bin/env bash
# Photographs the wizard's boxes as Wine draws them on Xvfb, for the README:
# docs/confirm.png, docs/restart.png and docs/unsupported.png.
#   tests/wine/screenshots.sh [BUILD_DIR]      (default: build)
# BUILD_DIR is a build of this project with BUILD_TESTING on, built: it holds
# the cross-built Tessaril.exe and the box helper. Needs 32-bit Wine, Xvfb
# and ImageMagick (apt-get install imagemagick).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
wine_dir=$build/tests/wine

export TESSARIL_EXE=$wine_dir/win32/tessaril/platform/windows/Tessaril.exe
export TESSARIL_BOXBOT=$wine_dir/win32/boxbot/boxbot.exe
export TESSARIL_LOCKER=$wine_dir/win32/boxbot/locker.exe
for file in "$TESSARIL_EXE" "$TESSARIL_BOXBOT" "$TESSARIL_LOCKER"; do
  [ -f "$file" ] || { echo "no $file: build $build first (cmake --build $build)"; exit 1; }
done
command -v import >/dev/null || { echo "ImageMagick's import is missing (apt-get install imagemagick)"; exit 1; }
export TESSARIL_WINE=$(command -v wine)
export TESSARIL_WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export TESSARIL_WINEARCH=win32
export TESSARIL_XVFB=$(command -v Xvfb)

work=$wine_dir/run-screenshots
bash "$top/tests/wine/harness.sh" prepare "$work"
bash "$top/tests/wine/harness.sh" pictures "$work" "$top/docs"
rm -rf "$work"
ls -l "$top/docs/confirm.png" "$top/docs/restart.png" "$top/docs/unsupported.png"
