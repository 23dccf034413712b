// The subtitle route: an embedded track or a subtitle file beside the video, answered as SubRip.
#include <memory>
#include <stdexcept>
#include <vector>

#include "api/HttpListener.h"
#include "api/RequestPathValidator.h"
#include "api/RequestTempFile.h"
#include "core/Log.h"
#include "core/State.h"
#include "core/Util.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_xml.h"
#include "media/FfmpegMetadataParser.h"
#include "media/MediaRunSlot.h"
#include "media/Subtitle.h"

namespace {

const char kNotSupported[] = "CALVORO_SUBTITLE_FORMAT_NOT_SUPPORTED";

bool AllDigits(const std::string& text) { return text.find_first_not_of("0123456789") == std::string::npos; }

// The subtitle file that id names beside the video. The ids of files in the "subtitles" and "subs"
// folders begin with "/", so leading separators are dropped; the rest passes the path validator like
// every other request text joined to a folder. Only what the probe's search would find is read: a
// regular file with a subtitle extension, in no folder whose name begins with ".". False otherwise, and
// for text that would leave the video's folder.
bool SidecarPath(const std::wstring& videoPath, const std::string& id, std::wstring& path) {
    const size_t slash = videoPath.rfind(L'/');
    const std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : videoPath.substr(0, slash);
    const std::vector<std::string> parts = SharePathComponents(id);
    if (parts.empty()) return false;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i][0] == '.') return false;
    }
    if (parts.back() == "." || parts.back() == "..") return false;
    const size_t first = id.find_first_not_of('/');
    return JoinRequestPath(folder, id.substr(first), path) && IsSubtitleFile(path, MakeSubtitleExtensionSet()) &&
           kiv_is_regular_file(path);
}

}  // namespace

void HttpListener::SendSubtitle(const std::string& rest, const std::string& body) {
    const std::wstring videoPath = ResolveSharedVideo(rest);
    std::unique_ptr<RequestTempFile> temp;
    try {
        kiv_xml parser;
        std::string error;
        if (!parser.parse(body.data(), body.size(), error) || !parser.get_parsed_element())
            throw std::runtime_error(error + " data is: \n" + body);
        const xml_element* idElement = kiv_xml::find_child(*parser.get_parsed_element(), "ID", false);
        if (!idElement) throw std::runtime_error("Can't find 'ID' element");
        const std::string id = idElement->text;
        const bool embedded = AllDigits(id);

        boost::shared_ptr<Subtitle> subtitle = Subtitle::GetInstance(metadataFactory_);
        if (!subtitle) throw std::runtime_error("Cannot instantiate subtitle class");
        temp.reset(new RequestTempFile(state_->GetCacheFolder(), "subtitle"));

        std::wstring source;
        if (embedded) {
            // An extraction that the stop or the client's leaving ended says so; nothing was made to
            // detect, and the track is not unsupported.
            if (!subtitle->ExtractStream(temp->Path(), videoPath, numstr::ToUint32(id, 10)) && MediaRunSlot::GivenUp())
                throw std::runtime_error(MediaRunSlot::GivenUpText());
            KIV_LOG("Extracted subtitle to " + kivm::str_conv(temp->Path()));
            source = temp->Path();
        } else if (SidecarPath(videoPath, id, source)) {
            KIV_LOG("Fetching external subtitle: " + kivm::str_conv(source));
        } else {
            KIV_LOG("Refused subtitle file name: " + kivm::ToValidUtf8(id));
            SendErrorMsg(kNotSupported, 404);
            return;
        }

        const SubtitleType type = subtitle->DetectType(source);
        if (!Subtitle::IsConvertible(type)) {
            KIV_LOG("Found UNSUPPORTED subtitle type " + Subtitle::GetTypeName(type));
            SendErrorMsg(kNotSupported, 404);
            return;
        }
        KIV_LOG("Found supported subtitle type " + Subtitle::GetTypeName(type));
        if (!subtitle->ConvertToSubRip(type, source, temp->Path())) {
            KIV_LOG("Error converting subtitles");
            SendErrorMsg(kNotSupported, 404);
            return;
        }
        KIV_LOG("Sending subtitle file: " + kivm::str_conv(temp->Path()));
        SendFile(rest, temp->Path());
    } catch (const std::exception& e) {
        SendErrorMsg(e.what(), 404);
    }
}
