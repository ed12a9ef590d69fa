#!/bin/sh
# Runs as pid 1 of fresh pid, mount, cgroup, uts, ipc and net namespaces
# (see boot_test.py): mounts the kernel file systems of the throw-away root
# ROOT, makes it the root and becomes systemd.
#
# usage: boot-root.sh ROOT
set -eu
root=$1

mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
# Kernel-wide settings stay out of reach.
for p in sys sysrq-trigger; do
    if [ -e "$root/proc/$p" ]; then
        mount --bind "$root/proc/$p" "$root/proc/$p"
        mount -o remount,bind,ro "$root/proc/$p"
    fi
done
mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
# securityfs stand-in: the simulated module mounts its directory in here.
mount -t tmpfs -o mode=0755,nosuid,nodev,noexec securityfs "$root/sys/kernel/security"
# The cgroup namespace's root is the subtree the test made for us.
mount -t cgroup2 -o nosuid,nodev,noexec cgroup2 "$root/sys/fs/cgroup"

mount -t tmpfs -o mode=0755,nosuid,size=64m dev "$root/dev"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0 fuse:10:229; do
    IFS=: read -r name major minor <<NODE
$node
NODE
    mknod -m 0666 "$root/dev/$name" c "$major" "$minor"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
touch "$root/dev/console"
mount --bind /dev/null "$root/dev/console"
ln -s /proc/self/fd "$root/dev/fd"

mount -t tmpfs -o mode=0755,nosuid,nodev,size=256m run "$root/run"
mount -t tmpfs -o mode=1777,nosuid,nodev,size=256m tmp "$root/tmp"

cd "$root"
mkdir -p .oldroot
pivot_root . .oldroot
umount -l /.oldroot
rmdir /.oldroot
# systemd in a container leaves / private: without this, nothing mounted
# later (the simulated module) would reach the services' namespaces.
mount --make-rshared /
exec env -i container=tavo-boot PATH=/usr/sbin:/usr/bin /lib/systemd/systemd --log-target=journal-or-kmsg
