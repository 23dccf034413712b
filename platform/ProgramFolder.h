// Where the running program lies (the folder of /proc/self/exe): the programs it starts and the
// images it loads lie beside it.
#pragma once

#include <string>

// The program's own file, the full path; empty when it cannot be read.
std::string ProgramPath();
// The folder, without a trailing "/"; empty when it cannot be read.
std::string ProgramFolder();
