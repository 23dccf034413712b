// The open-file limit of the process.
#pragma once

#include <cstdint>

// Raises the soft RLIMIT_NOFILE to the hard one (a desktop session hands on a soft limit of 1024,
// fewer than the HTTP server's connections need) and returns the soft limit that holds afterwards.
uint64_t RaiseOpenFileLimit();
