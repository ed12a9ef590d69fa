# error: ####ERROR: syntax error at symbol ')' on line 3
string name = gram
allow * "/usr/bin/app" "/srv/data" dir { read } if (checkTime())
