#!/bin/sh
# Cross-builds the Windows tests into BUILD_DIR and runs them under Wine.
# Exits 77 (skipped) where MinGW-w64 or Wine is not installed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run-under-wine.sh BUILD_DIR}
for tool in x86_64-w64-mingw32-g++ wine; do
    command -v $tool >/dev/null || { echo "SKIPPED: no $tool (make windows-deps installs it)"; exit 77; }
done
mkdir -p "$build" && build=$(cd "$build" && pwd)
cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/build.log" 2>&1 &&
    cmake --build "$build" -j 2 >>"$build/build.log" 2>&1 || { cat "$build/build.log"; echo "FAILED: cross build"; exit 1; }

# A prefix of our own (its first start takes a while); no display, no Mono or
# Gecko installer prompts, only the program's own output, and no wineserver
# left behind.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
trap 'wineserver -k 2>/dev/null' EXIT
cd "$build" && wine tst_winports.exe && wine tst_winnet.exe
