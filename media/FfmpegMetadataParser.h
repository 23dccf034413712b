// The media probe: what ffmpeg says about a file, turned into its facts and cached per file.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "media/IMetadata.h"

class IKivFileFinderFactory;

// The extensions of subtitle files, lower case without the point: srt, ssa, ass.
std::set<std::wstring> MakeSubtitleExtensionSet();

class Metadata final : public IMetadata, public KivDeleter {
public:
    struct Facts {
        double duration = 0;
        int32_t width = 0;  // already multiplied by the PAR when one was found
        int32_t height = 0;
        int32_t parNum = 0, parDen = 0;
        int32_t darNum = 0, darDen = 0;
        uint32_t bitrate = 0;  // kb/s
        std::vector<StreamInfo> video, audio, subtitles;
    };

    static boost::shared_ptr<IMetadata> GetInstance();
    static boost::shared_ptr<IMetadata> GetInstance(const Facts& facts);

    double GetDuration() override { return facts_.duration; }
    uint32_t GetBitrate() override { return facts_.bitrate; }
    int32_t GetWidth() override { return facts_.width; }
    int32_t GetHeight() override { return facts_.height; }
    std::vector<StreamInfo> GetVideoTracks() override { return facts_.video; }
    std::vector<StreamInfo> GetAudioTracks() override { return facts_.audio; }
    std::vector<StreamInfo> GetSubtitleTracks() override { return facts_.subtitles; }
    void GetPAR(int32_t& numerator, int32_t& denominator) override;
    void GetDAR(int32_t& numerator, int32_t& denominator) override;
    void Destroy() override { delete this; }

private:
    explicit Metadata(const Facts& facts) : facts_(facts) {}
    ~Metadata() = default;
    const Facts facts_;
};

class MetadataParser final : public IMetadataParser, public KivDeleter {
public:
    static boost::shared_ptr<IMetadataParser> GetInstance();

    boost::shared_ptr<IMetadata> ParseProcessOutput(KivProcess& process, const std::wstring& path) override;
    boost::shared_ptr<IMetadata> Parse(const std::string& text, const std::wstring& path) override;
    void Destroy() override { delete this; }

    struct ParseNotes {
        bool aspectFound = false;
        int32_t widthBeforePar = 0;
    };
    // The facts that the text alone gives (no subtitle files, no log); false when the duration or the
    // picture size is missing.
    static bool ParseText(const std::string& text, Metadata::Facts& facts, ParseNotes* notes = nullptr);
    // Adds the subtitle files in the video's folder + suffix that belong to the video.
    static void SearchSubtitles(std::vector<StreamInfo>& subtitles, const std::wstring& videoPath,
                                const std::wstring& suffix);

private:
    MetadataParser() = default;
    ~MetadataParser() = default;
};

class MetadataFactory final : public IMetadataFactory, public KivDeleter {
public:
    static boost::shared_ptr<IMetadataFactory> GetInstance();

    boost::shared_ptr<IMetadata> ParseProcess(KivProcess& process, const std::wstring& path) override;
    // Requests for the same file that miss the cache wait for one probe and share its result. The probe
    // runs within a media run slot, and its time limit starts when its run does.
    boost::shared_ptr<IMetadata> GetMetadata(const std::wstring& path) override;
    void Destroy() override { delete this; }

    // How many requests wait for another request's probe now (tests).
    static uint32_t AwaitingProbes();

    // Milliseconds a probe may take before it is stopped: 5000.
    static const uint32_t kProbeTimeoutMs;

private:
    MetadataFactory() = default;
    ~MetadataFactory() = default;
    // One probe run within a media run slot; ran is false when it was given up before it came to an
    // answer (in the wait for a slot or in the run: the stop, or abandoned answering true).
    static boost::shared_ptr<IMetadata> Probe(const std::wstring& path, bool& ran,
                                              const std::function<bool()>& abandoned);
};

// The process-wide cache, for tests: drops every entry.
void ClearMetadataCache();
