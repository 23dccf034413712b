// The thumbnail routes: a JPEG of the requested box size from a picture beside the video or in the
// folder, else from a frame of the video; a video's reply carries its media facts in CA- headers.
#include <memory>
#include <stdexcept>

#include "api/HttpListener.h"
#include "api/MediaFactHeaders.h"
#include "api/RequestTempFile.h"
#include "api/StreamRequest.h"
#include "core/Log.h"
#include "core/State.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_xml.h"
#include "media/IMetadata.h"
#include "media/Thumbnail.h"

namespace {

// Larger boxes would only make the server allocate and scale pictures no screen shows.
const uint32_t kMaxBoxSide = 4096;
const char kBadBox[] = "Thumbnail size must be 1 to 4096 on each side";

struct ThumbnailRequest {
    uint32_t width = 320;
    uint32_t height = 240;
    uint32_t seconds = 4;
};

// Reads the attributes of element into the fields named in names (letter case ignored); any other
// attribute is logged and ignored. A name given twice takes its last value.
template <size_t N>
void ReadAttributes(const xml_element& element, const char* const (&names)[N], uint32_t* const (&fields)[N],
                    const std::string& unknownNote) {
    for (const auto& attribute : element.attributes) {
        bool known = false;
        for (size_t i = 0; i < N; ++i) {
            if (kivm::str_case_eq(attribute.first, names[i])) {
                *fields[i] = numstr::ToUint32(attribute.second, 10);
                known = true;
            }
        }
        if (!known) KIV_LOG(unknownNote + attribute.first);
    }
}

// The number reader skips a leading "-" ("-1" reads as 1): a box side written negative is refused
// instead of being taken for its digits.
bool HasNegativeSide(const xml_element& resolution) {
    for (const auto& attribute : resolution.attributes) {
        const bool side = kivm::str_case_eq(attribute.first, "width") || kivm::str_case_eq(attribute.first, "height");
        if (side && !attribute.second.empty() && attribute.second[0] == '-') return true;
    }
    return false;
}

ThumbnailRequest ParseThumbnailRequest(const std::string& body) {
    kiv_xml parser;
    std::string error;
    if (!parser.parse(body.data(), body.size(), error)) throw std::runtime_error(error);
    const boost::shared_ptr<xml_element> top = parser.get_parsed_element();
    if (!top) throw std::runtime_error(error);

    ThumbnailRequest request;
    const xml_element* resolution = kiv_xml::find_child(*top, "resolution", false);
    if (!resolution) throw std::runtime_error("Can't find 'resolution' element");
    const xml_element* offset = kiv_xml::find_child(*top, "timeoffset", false);
    if (!offset) throw std::runtime_error("Can't find 'TimeOffset' element");
    ReadAttributes(*resolution, {"width", "height"}, {&request.width, &request.height},
                   "Unknown 'Resolution' attribute will be ignored: ");
    ReadAttributes(*offset, {"seconds"}, {&request.seconds}, "Unknown 'TimeOffset' attribute will be ignored: ");
    if (request.width < 1 || request.width > kMaxBoxSide || request.height < 1 || request.height > kMaxBoxSide ||
        HasNegativeSide(*resolution))
        throw std::runtime_error(kBadBox);
    return request;
}

}  // namespace

bool HttpListener::FindFolderImage(const std::wstring& folderPath, std::wstring& imagePath) {
    for (const wchar_t* name : {L"folder", L"thumb", L"thumbnail"}) {
        for (const wchar_t* extension : {L"jpg", L"png"}) {
            const std::wstring candidate = folderPath + name + L"." + extension;
            if (kiv_is_regular_file(candidate)) {  // never a folder, named pipe or device
                imagePath = candidate;
                return true;
            }
        }
    }
    return false;
}

bool HttpListener::FindSidecarImage(const std::wstring& videoPath, std::wstring& imagePath) {
    // The extension's point is looked for in the file name only, never in a folder above it.
    const size_t slash = videoPath.rfind(L'/');
    const size_t dot = videoPath.rfind(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return false;
    for (const wchar_t* extension : {L".jpg", L".png"}) {
        const std::wstring candidate = videoPath.substr(0, dot) + extension;
        if (kiv_is_regular_file(candidate)) {  // never a folder, named pipe or device
            imagePath = candidate;
            return true;
        }
    }
    return false;
}

void HttpListener::SendThumbnail(const std::string& rest, const std::string& body, bool folder) {
    std::unique_ptr<RequestTempFile> jpeg;
    try {
        std::wstring path = folder ? ResolveSharedFolder(rest) : ResolveSharedVideo(rest);
        // Empty components are skipped when a share path is resolved, the last one too; a folder's
        // request keeps its final "/", which says the names are looked for inside the folder.
        if (folder && !rest.empty() && rest.back() == '/' && (path.empty() || path.back() != L'/')) path += L'/';
        boost::shared_ptr<Thumbnail> thumbnail = Thumbnail::GetInstance(metadataFactory_);
        if (!thumbnail) throw std::runtime_error("Cannot instantiate thumbnail class");
        const ThumbnailRequest request = ParseThumbnailRequest(body);
        jpeg.reset(new RequestTempFile(state_->GetCacheFolder(), "jpg"));

        std::wstring image;
        const bool found = folder ? FindFolderImage(path, image) : FindSidecarImage(path, image);
        if (found) {
            if (!thumbnail->ResizeJPEG(jpeg->Path(), image, request.width, request.height))
                throw std::runtime_error("ResizePEG failed: " + kivm::str_conv(thumbnail->GetLastError()));
        } else if (!thumbnail->CreateJPEG(jpeg->Path(), path, request.width, request.height, request.seconds)) {
            throw std::runtime_error("CreateJPEG failed: " + kivm::str_conv(thumbnail->GetLastError()));
        }

        HeaderMap headers;
        if (!folder) {
            boost::shared_ptr<IMetadata> metadata;
            if (metadataFactory_) metadata = metadataFactory_->GetMetadata(path);
            if (!metadata) throw NoMetadataError();
            headers = MediaFactHeaders(*metadata);
        }
        SendFileWithHeaders(rest, jpeg->Path(), headers);
    } catch (const std::exception& e) {
        SendErrorMsg(e.what(), 404);
    }
}
