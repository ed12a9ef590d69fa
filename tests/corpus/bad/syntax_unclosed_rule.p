# error: ####ERROR: syntax error at symbol '' on line 4
string name = web
allow 1000 "/usr/bin/app" "/var/www/*" file { read,
