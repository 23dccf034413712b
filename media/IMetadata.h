// The media facts of a video file, the parser of the transcoder's probe text, and their factory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

class KivProcess;

// One track. The member names are also the names of the media-fact reply headers.
struct StreamInfo {
    std::string descr;      // title; for a subtitle file, the language part of its name
    std::string techDescr;  // codec description; empty for an embedded subtitle; "external file"
    std::string locale;     // three letters of language; empty for a subtitle file
    std::string id;         // stream number in decimal, or the subtitle file's path relative to the video's folder
};

class IMetadata {
public:
    virtual double GetDuration() = 0;
    virtual uint32_t GetBitrate() = 0;
    virtual int32_t GetWidth() = 0;
    virtual int32_t GetHeight() = 0;
    virtual std::vector<StreamInfo> GetVideoTracks() = 0;
    virtual std::vector<StreamInfo> GetAudioTracks() = 0;
    // Embedded tracks first, then subtitle files.
    virtual std::vector<StreamInfo> GetSubtitleTracks() = 0;
    virtual void GetPAR(int32_t& numerator, int32_t& denominator) = 0;
    virtual void GetDAR(int32_t& numerator, int32_t& denominator) = 0;

protected:
    ~IMetadata() = default;
};

class IMetadataParser {
public:
    // process: an ended ffmpeg run whose standard error was piped. Empty on failure.
    virtual boost::shared_ptr<IMetadata> ParseProcessOutput(KivProcess& process, const std::wstring& path) = 0;
    // text: ffmpeg's standard error; path: the file it describes. Empty on failure.
    virtual boost::shared_ptr<IMetadata> Parse(const std::string& text, const std::wstring& path) = 0;

protected:
    ~IMetadataParser() = default;
};

class IMetadataFactory {
public:
    // The facts from an ended ffmpeg run that the caller made on the file; a success is cached.
    virtual boost::shared_ptr<IMetadata> ParseProcess(KivProcess& process, const std::wstring& path) = 0;
    // The facts of a file, from the cache or a probe run; empty when they cannot be had.
    virtual boost::shared_ptr<IMetadata> GetMetadata(const std::wstring& path) = 0;

protected:
    ~IMetadataFactory() = default;
};
