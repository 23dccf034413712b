// Small helpers shared by several components: extension tests, box fitting, prefix search,
// the clean-up of stream folders in the cache folder, and the image operations of the thumbnails.
#pragma once

#include <cstdint>
#include <set>
#include <string>

class IState;
class IFileMaker;
class IKivFileFinderFactory;

// The file that every stream folder holds from its creation on; the cache clean-up removes a
// hex-named folder only when this file is in it, so it never deletes a folder the server did not make.
extern const wchar_t* const kStreamFolderMarker;

// True when the text after the last "." of path, lower-cased, is in extensions (lower case, no dot).
bool IsVideoFile(const std::wstring& path, const std::set<std::wstring>& extensions);
bool IsSubtitleFile(const std::wstring& path, const std::set<std::wstring>& extensions);

// Fits a source of sourceWidth x sourceHeight into the box keeping its shape: the scaled size and the
// offsets that centre it. A zero size anywhere gives the whole box. Always true.
bool FitToBox(uint32_t& width, uint32_t& height, uint32_t& top, uint32_t& left, uint32_t boxWidth,
              uint32_t boxHeight, uint32_t sourceWidth, uint32_t sourceHeight);
// The same with the source's shape given as width / height; a ratio that is not above 0 gives the box.
bool FitToBoxByRatio(uint32_t& width, uint32_t& height, uint32_t& top, uint32_t& left, uint32_t boxWidth,
                     uint32_t boxHeight, double sourceRatio);

// The member of candidates that shares the longest leading run of bytes with text (the first one on a
// tie); empty when none shares even the first byte.
std::string FindLongestCommonPrefix(const std::set<std::string>& candidates, const std::string& text);

// Removes the stream folders left in the cache folder; failures are logged, never thrown.
void CleanCacheFolder(IState* state, IKivFileFinderFactory* finders, IFileMaker* files);
// Removes from the cache folder's "offline" folder every file (and link) that no finished conversion
// names: the partial output and the ffmpeg logs of a run the process did not live to finish. Called at
// start-up, before the queue runs; failures are logged, never thrown.
void CleanOfflineFolder(IState* state, IKivFileFinderFactory* finders, IFileMaker* files);
// Removes, below folder, every stream folder (hex name and the marker file) with its contents; with
// deleteFiles, also the plain files of folder itself. Symbolic links are never followed nor removed.
// Throws std::runtime_error when a file or folder cannot be removed.
void CleanFolder(const std::wstring& folder, IKivFileFinderFactory* finders, IFileMaker* files, bool deleteFiles);

// The image's size; false (and 0 x 0) when it cannot be read as an image.
bool GetImageSize(const std::wstring& path, int32_t& width, int32_t& height);
// Scales source to width x height, lays it at (left, top) on a black boxWidth x boxHeight canvas and
// saves that as a JPEG at destination. False, writing nothing, when the source cannot be read.
bool ResizeImage(const std::wstring& destination, const std::wstring& source, int32_t width, int32_t height,
                 int32_t boxWidth, int32_t boxHeight, int32_t top, int32_t left);
