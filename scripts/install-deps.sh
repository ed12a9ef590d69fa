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
    pkg-config libssl-dev libfuse3-dev fuse3 libacl1-dev nlohmann-json3-dev \
    qtbase5-dev qtbase5-dev-tools \
    dbus polkitd python3-dbus python3-gi checkpolicy man-db \
    debhelper lintian libdbus-1-dev libpolkit-gobject-1-dev libsystemd-dev systemd

# Debian's Ansible and its linter, for the role under contrib/ansible (the
# boot test runs a playbook inside its booted root, which sees this /usr;
# its apt module needs python3-apt).
apt-get install -y --no-install-recommends ansible-core ansible-lint python3-apt

# Installs Debian packages of network services that must never run on this
# machine: their maintainer scripts ask policy-rc.d before they start one (a
# refusing one is put in place for the install when there is none), and
# what they enabled is disabled.
install_service_package() {
    package=$1
    unit=$2
    if dpkg -s "$package" >/dev/null 2>&1; then
        return 0
    fi
    guard=
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
        guard=/usr/sbin/policy-rc.d
        trap 'rm -f "$guard"' EXIT
    fi
    apt-get install -y --no-install-recommends "$package"
    # Offline too: without a running systemd it edits the links (and the
    # SysV ones) only.
    systemctl disable "$unit" >&2 || true
    if [ -n "$guard" ]; then
        rm -f "$guard"
        trap - EXIT
    fi
}

# Debian's node exporter, for the boot test, which starts it inside its own
# booted root.
install_service_package prometheus-node-exporter prometheus-node-exporter.service
# Prometheus for its promtool, which checks and tests the alert rules under
# contrib/prometheus; the server itself stays off.
install_service_package prometheus prometheus.service
