#!/bin/sh
# Main job on a fresh Debian 12 machine (as root): install the dependencies,
# build, start the integration sandbox (its own bus daemon, polkitd,
# simulated kernel module and tavo-policyd, all in private namespaces), have
# the daemon compile the example policy set and deliver it, show the digest
# the kernel holds beside the one the daemon logged, and tear it all down.
set -eu
cd "$(dirname "$0")/.."
build=build/main

./scripts/install-deps.sh >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVO_BENCH=OFF >&2
targets="tavo-policyd"
if cmake --build "$build" --target help | grep tavo-simkernel >/dev/null; then
    targets="$targets tavo-simkernel"
fi
# shellcheck disable=SC2086
cmake --build "$build" -j"$(nproc)" --target $targets >&2

mkdir -p "$build/sandbox"
exec /usr/bin/python3 tests/harness/tavo_sandbox.py --bin-dir "$build" --scratch "$build/sandbox" -- \
    /usr/bin/python3 scripts/deliver-example.py examples/policy
