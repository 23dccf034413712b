// What the conversion routes share with their tests.
#pragma once

#include <cstdint>
#include <string>

class IOfflineTranscode;
class IMetadataFactory;

// Builds the job's transcoder parameters from the request document (tracks, size, aspect, client,
// bitrate), fills in the tracks and aspect the client left open, and queues the job. Throws
// std::runtime_error when the document does not parse, the video's facts cannot be had or the queue
// refuses the job.
void StartConversion(const std::wstring& outputPath, const std::wstring& inputPath, const std::string& srcVirtualPath,
                     const std::string& body, IOfflineTranscode* queue, const std::string& dstVirtualPath,
                     IMetadataFactory* metadata, int32_t threads);
