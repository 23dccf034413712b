// What a client asks of a stream or a conversion: the request document, the transcoder's thread share
// and the tracks and aspect chosen for it when it leaves them open.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

struct TranscodeParams;
class IMetadataFactory;

// Fills params from the request document (any top element; children Streams, Resolution,
// PlayWithoutConversion, ClientIdentifier, Bitrate). The aspect is reset to 0 ("not given") before
// the document is read. Throws std::runtime_error with the parser's text when it does not parse.
void ParseStreamRequest(TranscodeParams& params, std::string body);

// ceil(percent / 100 x cpuCount), at least 1.
int32_t ThreadsForShare(uint32_t percent, int cpuCount);

// The share of a stream run: the small-picture share below 768 x 528 (either side), else the large one.
uint32_t StreamCoreShare(int32_t width, int32_t height, uint32_t smallPercent, uint32_t largePercent);

// When the video or audio track is -1 or the aspect is 0: probes path and takes the file's first video
// and audio tracks (both, as soon as either is open) and its width / height as the aspect. Throws
// std::runtime_error "Cannot instantiate metaData - corrupt file?" when the facts cannot be had
// (NoMetadataError).
void ChooseTracksAndAspect(TranscodeParams& params, const std::wstring& path, IMetadataFactory* metadata);

// What a route answers when a file's facts cannot be had: "Cannot instantiate metaData - corrupt file?",
// unless the probe may have been given up (the server stops, the client has gone), which is said instead.
std::runtime_error NoMetadataError();
