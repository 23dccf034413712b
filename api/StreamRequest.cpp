#include "api/StreamRequest.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/Log.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_xml.h"
#include "media/IMetadata.h"
#include "media/MediaRunSlot.h"
#include "media/TranscodeParams.h"

// Log entries name the component, the HTTP interface, whichever of its files writes them.
#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "HttpListener"

namespace {
// The last value of the attribute (a name given twice counts with its last value); false when absent.
bool Attribute(const xml_element* element, const char* name, std::string& value) {
    if (!element) return false;
    bool found = false;
    for (const auto& attribute : element->attributes) {
        if (attribute.first == name) {
            value = attribute.second;
            found = true;
        }
    }
    return found;
}

const int32_t kMaxPictureSide = 4096;

// Numbers are unsigned decimal text. A negative one (the number reader would drop its "-", so "-1"
// would pick track 1) or one too large for the field leaves the field as it was.
void ReadSigned(const xml_element* element, const char* name, int32_t& field) {
    std::string value;
    if (!Attribute(element, name, value)) return;
    if (value.compare(0, 1, "-") == 0) return;
    const uint32_t number = numstr::ToUint32(value, 10);
    if (number <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) field = static_cast<int32_t>(number);
}

void ReadUnsigned(const xml_element* element, const char* name, uint32_t& field) {
    std::string value;
    if (Attribute(element, name, value)) field = numstr::ToUint32(value, 10);
}

// A track's number as a transcoder index; false for an id that is no such number.
bool TrackIndex(const StreamInfo& track, int32_t& index) {
    const uint32_t number = numstr::ToUint32(track.id, 10);
    if (number > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) return false;
    index = static_cast<int32_t>(number);
    return true;
}

void ChooseTracks(TranscodeParams& params, IMetadata& metadata) {
    const std::vector<StreamInfo> video = metadata.GetVideoTracks();
    if (!video.empty() && TrackIndex(video.front(), params.VideoIndex)) {
        KIV_LOG("Auto detecting Video Stream " + video.front().id);
    } else {
        KIV_LOG("Could not determine first video stream");
    }
    const std::vector<StreamInfo> audio = metadata.GetAudioTracks();
    if (!audio.empty() && TrackIndex(audio.front(), params.AudioIndex)) {
        KIV_LOG("Auto detecting Audio Stream " + audio.front().id);
    } else {
        KIV_LOG("Could not determine first audio stream");
    }
}
}  // namespace

void ParseStreamRequest(TranscodeParams& params, std::string body) {
    kiv_xml parser;
    std::string error;
    if (!parser.parse(body.data(), body.size(), error)) throw std::runtime_error(error);
    const boost::shared_ptr<xml_element> top = parser.get_parsed_element();
    if (!top) throw std::runtime_error(error);
    params.Aspect = 0;  // 0 stands for an aspect the client did not give

    const xml_element* streams = kiv_xml::find_child(*top, "Streams", true);
    ReadSigned(streams, "Video", params.VideoIndex);
    ReadSigned(streams, "Audio", params.AudioIndex);
    ReadSigned(streams, "Subtitle", params.SubtitleIndex);

    const xml_element* resolution = kiv_xml::find_child(*top, "Resolution", true);
    ReadSigned(resolution, "width", params.Width);
    ReadSigned(resolution, "height", params.Height);
    // A picture larger than any screen a client has would only make the encoder take gigabytes.
    params.Width = std::min(params.Width, kMaxPictureSide);
    params.Height = std::min(params.Height, kMaxPictureSide);
    std::string aspect;
    if (Attribute(resolution, "aspect", aspect)) params.Aspect = numstr::ToDouble(aspect);

    params.PlayWithoutConversion = kiv_xml::find_child(*top, "PlayWithoutConversion", true) != nullptr;
    if (const xml_element* client = kiv_xml::find_child(*top, "ClientIdentifier", true))
        // Listed in every device's status reply and kept in state.xml: only what XML carries.
        params.ClientIdentifier = kivm::FromUTF8ExW(kivm::ToXmlText(client->text));

    const xml_element* bitrate = kiv_xml::find_child(*top, "Bitrate", true);
    ReadUnsigned(bitrate, "target", params.TargetBitrate);
    ReadSigned(bitrate, "tolerance", params.BitrateTolerance);
}

int32_t ThreadsForShare(uint32_t percent, int cpuCount) {
    const double share = static_cast<double>(percent) / 100.0 * static_cast<double>(cpuCount < 1 ? 1 : cpuCount);
    const double threads = std::ceil(share);
    if (!(threads >= 1.0)) return 1;
    if (threads > static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(threads);
}

uint32_t StreamCoreShare(int32_t width, int32_t height, uint32_t smallPercent, uint32_t largePercent) {
    // Unsigned, so a negative size counts as a large picture.
    const bool small = static_cast<uint32_t>(width) < 768u || static_cast<uint32_t>(height) < 528u;
    return small ? smallPercent : largePercent;
}

std::runtime_error NoMetadataError() {
    if (MediaRunSlot::GivenUp()) return std::runtime_error(MediaRunSlot::GivenUpText());
    return std::runtime_error("Cannot instantiate metaData - corrupt file?");
}

void ChooseTracksAndAspect(TranscodeParams& params, const std::wstring& path, IMetadataFactory* metadataFactory) {
    if (params.VideoIndex != -1 && params.AudioIndex != -1 && params.Aspect != 0) return;
    KIV_LOG("Video & Audio stream not specified by client, using first found for each");
    boost::shared_ptr<IMetadata> metadata;
    if (metadataFactory) metadata = metadataFactory->GetMetadata(path);
    if (!metadata) throw NoMetadataError();

    if (params.VideoIndex == -1 || params.AudioIndex == -1) {
        ChooseTracks(params, *metadata);
    } else {
        KIV_LOG("Video & Audio stream passed by client");
    }
    if (params.Aspect == 0) {
        const int32_t width = metadata->GetWidth();
        const int32_t height = metadata->GetHeight();
        KIV_LOG("Aspect not specified by client, calculating. Aspect = " + numstr::ToStr(static_cast<uint32_t>(width)) +
                " / " + numstr::ToStr(static_cast<uint32_t>(height)));
        // A file without a picture height leaves the aspect to the transcoder.
        if (height > 0) params.Aspect = static_cast<double>(width) / static_cast<double>(height);
    }
}
