#!/bin/sh
# The checker's example on a fresh Debian 12 machine (as root): install the dependencies,
# build, and compile the example policy set with tavo-policy-check, printing
# its policy nodes as JSON Lines.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh >&2
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTAVO_BENCH=OFF >&2
cmake --build build/release -j"$(nproc)" >&2

exec build/release/tools/tavo-policy-check/tavo-policy-check --json examples/policy
