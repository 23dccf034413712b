// The one gate between request text and the file system: every place that joins text from a request
// (an alias's sub-path, a cache file name, a segment name, a subtitle id) to a folder passes it here
// first, so no request reaches outside the folder it names.
#pragma once

#include <string>
#include <vector>

// True when relative may be joined below a folder: well-formed UTF-8, no control bytes, no ".."
// component (between "/" or "\" separators) and no absolute part (it does not begin with a separator
// or a drive name such as "C:"). The empty text names the folder itself and is accepted.
bool IsSafeRelativePath(const std::string& relative);

// folder + "/" + relative as a wide path when relative is safe; false (joined untouched) otherwise.
bool JoinRequestPath(const std::wstring& folder, const std::string& relative, std::wstring& joined);

// The components of a path below a shared folder, with empty ones skipped: "a//b/", "/a/b" and "a/b"
// all name a/b, since clients join a listing's path, "/" and a name.
std::vector<std::string> SharePathComponents(const std::string& relative);
// JoinRequestPath for a path below a shared folder (the listing, direct, play and other share routes):
// the components of SharePathComponents joined by "/", then checked as JoinRequestPath checks.
bool JoinSharePath(const std::wstring& folder, const std::string& relative, std::wstring& joined);
