# error: ####ERROR: 数字超出范围: 18446744073709551616
string name = lex
int big = 18446744073709551616
