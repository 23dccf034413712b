// Where the running program lies (the folder of /proc/self/exe): the programs it starts and the
// images it loads lie beside it.
#pragma once

#include <string>

// The folder, without a trailing "/"; empty when it cannot be read.
std::string ProgramFolder();
