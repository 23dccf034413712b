// The media-fact reply headers of a video's thumbnail: duration, picture size and every track.
#pragma once

#include <map>
#include <string>

class IMetadata;

// "CA-DurationSeconds", "CA-Width", "CA-Height", the track counts and per track its locale, descr,
// techDescr and id. Control bytes (a subtitle file's name may hold a line feed) become "?", so a value
// can never end the header line or start another header.
std::map<std::string, std::string> MediaFactHeaders(IMetadata& metadata);
