// Start at login on a Linux desktop: an autostart entry (a desktop entry file) in
// $XDG_CONFIG_HOME/autostart, which the desktop's session starts at login. The entry runs the program
// by its full path.
#pragma once

#include <string>

namespace Autostart {

// $XDG_CONFIG_HOME/autostart/calvoro.desktop; $HOME/.config stands in for an unset, empty or
// relative XDG_CONFIG_HOME. Empty when no home folder is known.
std::string EntryPath();

// The path as the one argument of an Exec key: in double quotes with '"', '`', '$' and '\' escaped,
// then every '\' doubled (the key's value is itself an escaped string) and '%' written as "%%".
std::string QuoteExecArgument(const std::string& path);

// Why the program cannot be started at login from this path, as a text for the user; empty when it
// can. Desktop launchers refuse a '%' even as "%%", and an entry holds only UTF-8 text on one line.
std::string ProgramPathProblem(const std::string& path);

// Writes the entry for the program (its folder made when missing; a temporary file renamed over the
// old entry). Empty on success, else why it failed.
std::string Enable(const std::string& programPath);

// Removes the entry; none there counts as removed. Empty on success, else why it failed.
std::string Disable();

}  // namespace Autostart
