# error: ####ERROR: 策略文件中未设置场景名称（name）
allow root * "/etc/shadow" file { read }
string name = late
