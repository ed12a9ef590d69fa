# Lists as operands, capabilities, kernel modules and devices.
string name = hardening
string module_name = base
bool audit = true
dynamic bool lockdown = false
intlist operators = 1001, 1002
strlist daemons = "/usr/sbin/sshd", "/usr/sbin/cron"
strlist caps = CAP_SYS_ADMIN, CAP_SYS_MODULE
%SECTION kernel
disallow $operators $daemons $caps cap { use } if (!$lockdown)
detect * * ext4 kmod { load } do { notify(2, "kmod") }
allow root "/usr/sbin/fdisk" "/dev/sda" blkdev { write }
%ENDSEC
respond secadm NULL "/var/log/*" dir { search }
