# error: ####ERROR: 整型变量ids不能作为sid
string name = desk
intlist ids = 1000, 1001
allow 0 $ids "/etc/hosts" file { read }
