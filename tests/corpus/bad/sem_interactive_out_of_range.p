# error: ####ERROR: 策略文件中弹窗值越界
string name = desk
int interactive = 3
allow alice "/usr/bin/editor" "/home/*/notes" dir { read }
