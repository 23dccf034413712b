// The order in which listings show names: as a file manager shows them.
#pragma once

#include <string>
#include <string_view>

// True when a comes before b: letters compare without regard to case, a run of digits compares by its
// value ("Episode 2" before "Episode 10"), and names that are equal so ("a" and "A", "7" and "07") are
// ordered by their characters as they are, so the order is total and the same on every listing.
bool NaturalNameLess(const std::wstring& a, const std::wstring& b);
// The same order for names in UTF-8.
bool NaturalNameLessUtf8(std::string_view a, std::string_view b);
