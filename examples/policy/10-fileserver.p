# File server scene: the Samba daemon serves the shares, the nightly
# backup may only read them, and nobody may rewrite the share index.
string name = fileserver
string module_name = fileserver

# Every rule of this file is audited and outranks default rules.
bool audit = true
int priority = 10

strlist share_users = root, "www-data"
strlist shares = "/srv/share/*", "/srv/public/*"

%SECTION samba
allow $share_users "/usr/sbin/smbd" $shares file { read, write, create }
allow $share_users "/usr/sbin/smbd" "/srv/share" dir { read, search, add_name }
%ENDSEC

%SECTION backup
# The backup runs between one and five in the morning, nightly.
allow root "/usr/bin/rsync" "/srv/share/*" file { read } if (inTimeRange("01:00", "05:00"))
disallow root "/usr/bin/rsync" "/srv/share/*" file { write, unlink } do { notify(2) }
%ENDSEC

disallow * * "/srv/share/index.db" file { write, unlink } do { notify(1), 'audit-log'("share index touched") }
