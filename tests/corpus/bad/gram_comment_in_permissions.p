# error: ####ERROR: syntax error at symbol '# which ones' on line 3
string name = gram
allow * * * file { # which ones
  read }
