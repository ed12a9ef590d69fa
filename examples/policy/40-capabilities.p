# Capabilities scene: a time daemon may set the clock; interpreters may not
# administer the system even when run by root.
string name = capabilities
bool permissive = true
int server_role = 1

allow root "/usr/sbin/chronyd" CAP_SYS_TIME cap { use }
disallow * "/usr/bin/python3.11" CAP_SYS_ADMIN capability { use } if (isLocked(1) | hostRole("server") = $server_role)
disallow * "/usr/bin/perl" CAP_SYS_MODULE cap { use }
