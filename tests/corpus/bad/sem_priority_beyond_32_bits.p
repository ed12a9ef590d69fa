# error: ####ERROR: 文件sem_priority_beyond_32_bits.p第4行的规则所用变量priority的值4294967301超出 uint32_t 范围
string name = desk
int priority = 4294967301
allow alice "/usr/bin/editor" "/home/*/notes" dir { read }
