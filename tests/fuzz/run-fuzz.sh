#!/bin/sh
# Builds the address fuzzer with clang in BUILD_DIR and runs it for SECONDS,
# starting from the corpus kept beside this script. Exits 77 (skipped) where
# clang or its libFuzzer runtime is not installed.
# Usage: run-fuzz.sh BUILD_DIR SECONDS
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=$2
cxx=${FUZZ_CXX:-clang++}

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "$cxx not found: address fuzzing skipped"
    exit 77
fi
mkdir -p "$build"
probe="$build/probe.cpp"
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$probe"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe" -o "$build/probe" >/dev/null 2>&1; then
    echo "$cxx has no libFuzzer runtime (libclang-rt-dev): address fuzzing skipped"
    exit 77
fi

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= >/dev/null
cmake --build "$build" >/dev/null

# New inputs go to the build tree; the kept corpus is only read.
mkdir -p "$build/corpus" "$build/crashes"
exec "$build/fuzz_address" -error_exitcode=1 -max_total_time="$seconds" -max_len=512 -timeout=10 \
    -dict="$here/address.dict" -artifact_prefix="$build/crashes/" -print_final_stats=1 \
    "$build/corpus" "$here/corpus"
