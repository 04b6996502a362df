#!/bin/sh
# Builds a fuzzer with clang in BUILD_DIR and runs it for SECONDS, starting
# from the corpus kept beside this script: NAME "address" (the default) for
# the address conversion, "scpi" for the SCPI command layer, "hislip" for
# HiSLIP's reader and lock queue. Exits 77
# (skipped) where clang or its libFuzzer runtime is not installed.
# Usage: run-fuzz.sh BUILD_DIR SECONDS [NAME]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=$2
name=${3:-address}
case $name in
    address) corpus=$here/corpus ;;
    *) corpus=$here/$name-corpus ;;
esac
cxx=${FUZZ_CXX:-clang++}

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "$cxx not found: $name fuzzing skipped"
    exit 77
fi
mkdir -p "$build"
probe="$build/probe.cpp"
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$probe"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe" -o "$build/probe" >/dev/null 2>&1; then
    echo "$cxx has no libFuzzer runtime (libclang-rt-dev): $name fuzzing skipped"
    exit 77
fi

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= >/dev/null
cmake --build "$build" --target "fuzz_$name" >/dev/null

# New inputs go to the build tree; the kept corpus is only read.
mkdir -p "$build/corpus" "$build/crashes"
exec "$build/fuzz_$name" -error_exitcode=1 -max_total_time="$seconds" -max_len=512 -timeout=10 \
    -dict="$here/$name.dict" -artifact_prefix="$build/crashes/" -print_final_stats=1 \
    "$build/corpus" "$corpus"
