#include "api/MediaFactHeaders.h"

#include <vector>

#include "kivlib/kiv_text.h"
#include "media/IMetadata.h"

namespace {

std::string HeaderValue(const std::string& text) {
    std::string value = text;
    for (char& c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    return value;
}

void AddTracks(std::map<std::string, std::string>& headers, const std::string& prefix,
               const std::vector<StreamInfo>& tracks) {
    for (size_t i = 0; i < tracks.size(); ++i) {
        const std::string key = prefix + std::to_string(i);
        headers[key + ".locale"] = HeaderValue(tracks[i].locale);
        headers[key + ".descr"] = HeaderValue(tracks[i].descr);
        headers[key + ".techDescr"] = HeaderValue(tracks[i].techDescr);
        headers[key + ".id"] = HeaderValue(tracks[i].id);
    }
}

std::string Count(size_t n) { return numstr::ToStr(static_cast<uint64_t>(n)); }

}  // namespace

std::map<std::string, std::string> MediaFactHeaders(IMetadata& metadata) {
    std::map<std::string, std::string> headers;
    headers["CA-DurationSeconds"] = numstr::ToStr(metadata.GetDuration(), 0, 0, 5);
    headers["CA-Width"] = numstr::ToStr(static_cast<uint32_t>(metadata.GetWidth()));
    headers["CA-Height"] = numstr::ToStr(static_cast<uint32_t>(metadata.GetHeight()));
    const std::vector<StreamInfo> audio = metadata.GetAudioTracks();
    headers["CA-AudioStreamCount"] = Count(audio.size());
    AddTracks(headers, "CA-AudioStream.", audio);
    const std::vector<StreamInfo> subtitles = metadata.GetSubtitleTracks();
    headers["CA-SubtitleStreamCount"] = Count(subtitles.size());
    AddTracks(headers, "CA-SubtitleStream.", subtitles);
    const std::vector<StreamInfo> video = metadata.GetVideoTracks();
    headers["CA-CalvoroCount"] = Count(video.size());
    AddTracks(headers, "CA-Calvoro.", video);
    return headers;
}
