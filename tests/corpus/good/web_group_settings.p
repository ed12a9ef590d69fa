string name = web
bool audit = true
int priority = 5
allow 1000 "/usr/bin/app" "/var/www/*" file { read, write }
