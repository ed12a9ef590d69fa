#!/bin/sh
# Installs what building and testing need on Debian 12 (run as root).
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    build-essential cmake flex bison \
    libgtest-dev \
    clang libclang-rt-14-dev \
    python3 python3-pytest \
    util-linux mount passwd locales \
    pkg-config libssl-dev libfuse3-dev fuse3 \
    qtbase5-dev qtbase5-dev-tools \
    dbus polkitd python3-dbus python3-gi checkpolicy man-db \
    debhelper lintian libdbus-1-dev libpolkit-gobject-1-dev libsystemd-dev systemd
