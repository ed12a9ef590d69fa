# error: ####ERROR: namespace 名称包含非法路径字符: ../evil
string name = "../evil"
string name = good
allow 0 "/usr/bin/app" "/srv/data" dir { read }
