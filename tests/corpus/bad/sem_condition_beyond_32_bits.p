# error: ####ERROR: 文件sem_condition_beyond_32_bits.p第4行的规则所用变量lim的值4294967297超出 uint32_t 范围
string name = desk
int lim = 4294967297
allow alice "/usr/bin/editor" "/home/*/notes" dir { read } if ($lim)
