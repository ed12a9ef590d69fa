# SSH scene: sshd reads users' keys; changing the daemon's configuration is
# only allowed while the maintenance switch is on. The switch is dynamic:
#   tavo-main-policy-sync can flip it at run time without a recompile.
string name = ssh
dynamic bool maintenance = false
strlist admins = root, alice

# One user's home at a time ("/home/*/..."), everything below ".ssh".
allow * "/usr/sbin/sshd" "/home/*/.ssh" dir { search }
allow * "/usr/sbin/sshd" "/home/*/.ssh/*" file { read }

%SECTION config
allow $admins "/usr/bin/vim.basic" "/etc/ssh/*" file { write } if ($maintenance)
disallow $admins * "/etc/ssh/*" file { write } if (!$maintenance) do { notify(1) }
detect * * "/etc/ssh/sshd_config" file { write, setattr } do { 'audit-log'("sshd_config changed") }
%ENDSEC
