#!/bin/sh
# Cross-builds the Windows port test into BUILD_DIR and runs it under Wine.
# Exits 77 (skipped) where MinGW-w64 or Wine is not installed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run-under-wine.sh BUILD_DIR}

if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
    echo "SKIPPED: no MinGW-w64 compiler (apt-get install g++-mingw-w64-x86-64)"
    exit 77
fi
wine=$(command -v wine || command -v wine64 || true)
if [ -z "$wine" ]; then
    echo "SKIPPED: no Wine (apt-get install wine wine64)"
    exit 77
fi

mkdir -p "$build" && build=$(cd "$build" && pwd)
log="$build/build.log"
if ! { cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j 2; } >"$log" 2>&1; then
    cat "$log"
    echo "FAILED: cross build (log: $log)"
    exit 1
fi

# A prefix of our own (its first start takes a while); no display, no
# Mono or Gecko installer prompts, and only the program's own output.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
"$wine" "$build/tst_winports.exe"
status=$?
# The prefix's wineserver would otherwise linger after the test.
wineserver -k 2>/dev/null || true
exit $status
