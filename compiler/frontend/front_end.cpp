#include "front_end.h"

FrontEnd::FrontEnd(PolicyOutput &output, Lines lines) : output_(output), quiet_(lines == Lines::Quiet) {}
