#!/bin/sh
# Every test on a fresh Debian 12 machine (as root): install the
# dependencies, then build and run the whole suite twice (plainly, and under
# AddressSanitizer + UndefinedBehaviorSanitizer), then fuzz the policy
# compiler and the policy image decoder for a bounded time. Any failure,
# sanitizer report or fuzzer finding fails the run.
#   FUZZ_SECONDS   fuzzing time (default 60)
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}

./scripts/install-deps.sh >&2

echo "== plain build and tests"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/test -j"$jobs"
(cd build/test && ctest --output-on-failure -j"$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTAVO_SANITIZE=ON -DTAVO_BENCH=OFF
cmake --build build/sanitize -j"$jobs"
(cd build/sanitize &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j"$jobs")

# The fuzzing time is shared by the two targets.
compiler_seconds=$((fuzz_seconds - fuzz_seconds / 2))
image_seconds=$((fuzz_seconds / 2))
echo "== fuzzing the policy compiler for ${compiler_seconds}s and the image decoder for ${image_seconds}s"
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVO_FUZZ=ON -DBUILD_TESTING=OFF -DTAVO_BENCH=OFF
cmake --build build/fuzz -j"$jobs" --target tavo_policy_fuzzer tavo_image_fuzzer tavo-policy-check
work="$top/build/fuzz/run"
rm -rf "$work"
mkdir -p "$work/corpus" "$work/images" "$work/artifacts" "$work/sandbox"
cp tests/corpus/good/* tests/corpus/bad/* examples/policy/* "$work/corpus/"
tests/harness/sandbox-run "$work/sandbox" \
    build/fuzz/tests/fuzz/tavo_policy_fuzzer \
    -max_total_time="$compiler_seconds" -timeout=10 -rss_limit_mb=4096 \
    -dict=tests/fuzz/tavo.dict -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    "$work/corpus"
# Seeds for the decoder: the images of the good corpus and the examples.
for policy in tests/corpus/good/* examples/policy; do
    tests/harness/sandbox-run "$work/sandbox" build/fuzz/tools/tavo-policy-check/tavo-policy-check \
        --quiet --image "$work/images/$(basename "$policy").img" "$policy" 2>/dev/null
done
tests/harness/sandbox-run "$work/sandbox" \
    build/fuzz/tests/fuzz/tavo_image_fuzzer \
    -max_total_time="$image_seconds" -timeout=10 -rss_limit_mb=4096 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
    "$work/images"
if [ -n "$(ls -A "$work/artifacts")" ]; then
    echo "fuzzer findings in $work/artifacts:" >&2
    ls -l "$work/artifacts" >&2
    exit 1
fi
echo "== all tests passed"
