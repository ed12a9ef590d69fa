# error: ####ERROR: dynamic 只能用于bool类型变量，string类型变量mode不能声明为dynamic
string name = desk
dynamic string mode = strict
