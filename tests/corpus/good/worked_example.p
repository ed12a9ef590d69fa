#file server scene
string name = fileserver
dynamic bool guard = true
strlist admins = "root", alice
%SECTION ssh
allow $admins "/usr/sbin/sshd" "/home/*/.ssh" dir { read, search } if ($guard & checkTime("08:00", 18)) do { notify(1) }
%ENDSEC
