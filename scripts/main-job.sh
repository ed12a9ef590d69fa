#!/bin/sh
# Main job on a fresh Debian 12 machine (as root): install the dependencies,
# build, start the integration sandbox (its own bus daemon, polkitd,
# simulated kernel module and tavo-policyd, all in private namespaces), and
# take the example policy set through every command: the offline check, the
# full compile and delivery, a dynamic variable, one section, and the
# initial policy from an early-boot root, showing after each step what the
# kernel holds, and at the end what the host's record says is in force
# (tavo-policy-check --status). The sandbox is torn down at the end.
# Standard output is the story; install and build chatter go to standard
# error.
set -eu
cd "$(dirname "$0")/.."
build=build/main

./scripts/install-deps.sh >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVO_BENCH=OFF >&2
cmake --build "$build" -j"$(nproc)" --target tavo-policyd tavo-simkernel tavo-policy-check \
    tavo-main-policy-sync tavo-main-policy-init >&2

mkdir -p "$build/sandbox"
exec /usr/bin/python3 tests/harness/tavo_sandbox.py --bin-dir "$build" --scratch "$build/sandbox" -- \
    /usr/bin/python3 scripts/story.py "$build" examples/policy
