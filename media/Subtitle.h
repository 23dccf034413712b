// Subtitles: copies a text track out of a video as SubRip, tells which of nineteen text subtitle
// formats a file is in, and converts SubRip and the SubStation Alpha formats into SubRip text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"

class IMetadataFactory;

// The formats DetectType tells apart; -1 for none.
typedef int32_t SubtitleType;

class Subtitle final : public KivDeleter {
public:
    static boost::shared_ptr<Subtitle> GetInstance(IMetadataFactory* metadata);

    // Copies embedded stream number streamNumber of the video into outputPath as SubRip; true on success.
    // A bitmap track, or a number that is no subtitle track, fails.
    bool ExtractStream(const std::wstring& outputPath, const std::wstring& videoPath, uint32_t streamNumber);
    // The type of a text file from its first lines; -1 when no line is recognised.
    SubtitleType DetectType(const std::wstring& path);
    // SubRip and the three SubStation Alpha types.
    static bool IsConvertible(SubtitleType type);
    // Reads the whole source, then writes the SubRip text to destination (which may be the source).
    // False for a type it does not handle, a source that cannot be read or is larger than
    // kMaxConvertBytes, and a destination that cannot be written.
    bool ConvertToSubRip(SubtitleType type, const std::wstring& source, const std::wstring& destination);
    static std::string GetTypeName(SubtitleType type);
    std::wstring GetLastError() const { return lastError_; }

    void Destroy() override { delete this; }

    // The extraction's ffmpeg arguments (after the program name).
    static std::vector<std::string> ExtractArguments(const std::wstring& outputPath, const std::wstring& videoPath,
                                                     uint32_t streamNumber);
    // How long an extraction may run: a media run's limit (5000 ms), and 1 s more per 50 MB of video (a track of a Matroska
    // file is found only by reading the whole file).
    static uint32_t ExtractTimeoutMs(uint64_t videoBytes);
    // The type of one line, -1 when no probe holds (the probes in their order).
    static SubtitleType DetectLine(const std::string& line);

    // Detection reads at most this many lines of at most kMaxLineBytes each.
    static constexpr size_t kMaxDetectLines = 256;
    static constexpr size_t kMaxLineBytes = 4096;
    // A larger source is not converted.
    static constexpr uint64_t kMaxConvertBytes = 8 * 1024 * 1024;

private:
    explicit Subtitle(IMetadataFactory* metadata) : metadata_(metadata) {}
    ~Subtitle() = default;

    std::wstring lastError_;
    IMetadataFactory* metadata_;
};
