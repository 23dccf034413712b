// The conversion routes: queue a conversion, list the queued, running and finished ones, cancel one,
// and delete a finished one with its file.
#include "api/ConversionRoutes.h"

#include <list>
#include <stdexcept>

#include "api/HttpListener.h"
#include "api/StreamRequest.h"
#include "core/FileMaker.h"
#include "core/State.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_xml.h"
#include "media/IOfflineTranscode.h"
#include "media/TranscodeParams.h"

namespace {

const char kOfflineUrlPath[] = "/video/cache/offline/";

const char* StateName(ConversionState state) {
    if (state == Active) return "Active";
    if (state == Finished) return "Finished";
    return "Queued";
}

IOfflineTranscode& Queue(IOfflineTranscode* queue) {
    if (!queue) throw std::runtime_error("The conversion queue is not available");
    return *queue;
}

}  // namespace

void StartConversion(const std::wstring& outputPath, const std::wstring& inputPath, const std::string& srcVirtualPath,
                     const std::string& body, IOfflineTranscode* queue, const std::string& dstVirtualPath,
                     IMetadataFactory* metadata, int32_t threads) {
    TranscodeParams params;
    params.OutputPath = outputPath;
    params.InputPath = inputPath;
    ParseStreamRequest(params, body);
    params.Threads = threads;
    ChooseTracksAndAspect(params, inputPath, metadata);
    if (!queue || !queue->Enqueue(srcVirtualPath, dstVirtualPath, params))
        throw std::runtime_error("Attempting to start offline conversion failed");
}

void HttpListener::RequestConversion(const std::string& rest, const std::string& body) {
    try {
        const std::wstring path = ResolveSharedVideo(rest);
        const std::wstring folder = state_->GetCacheFolder() + L"/offline/";
        fileMaker_->MakeDirectory(folder);
        const std::wstring fileName = kivm::get_file_from_path(path);
        const int32_t threads = ThreadsForShare(state_->GetCCorePercent(), state_->GetCpuCount());
        StartConversion(folder + fileName, path, rest, body, offlineTranscode_,
                        kOfflineUrlPath + kivm::str_conv(fileName), metadataFactory_, threads);
        SendSuccessMsg("Success", 200);
    } catch (const std::exception& e) {
        SendErrorMsg(e.what(), 404);
    }
}

std::string HttpListener::BuildConversionStatusXml(IOfflineTranscode* queue, const std::string& urlBase,
                                                   IFileMaker* files, bool showAll) {
    xml_element root("Calvoro");
    xml_element& list = root.add_child("files");
    for (const ConversionStatus& row : Queue(queue).GetConversions()) {
        xml_element& entry = list.add_child("convertVideo");
        entry.add_child("filename", "/" + kivm::ToUTF8Ex(row.SrcVirtualPath));
        entry.add_child("date", row.FilePath.empty() ? std::string() : files->GetModifiedTime(row.FilePath));
        entry.add_child("clientIdentifier", showAll ? std::string("*") : kivm::ToUTF8Ex(row.ClientIdentifier));
        entry.add_child("status", StateName(row.state));
        if (row.state == Finished) {
            entry.add_child("URL", urlBase + row.DstVirtualPath);
            entry.add_child("TotalBytes", numstr::ToStr(row.TotalBytes));
        } else if (row.state == Active) {
            entry.add_child("elapsedSeconds", numstr::ToStr(row.elapsedSeconds, 0, 2, 2));
            entry.add_child("percentComplete", numstr::ToStr(row.percentComplete, 0, 2, 2));
        }
    }
    return kiv_xml::dump_xml(root, 0);
}

void HttpListener::GetConversionStatus() {
    std::string host;
    if (!GetRequestHeader("Host", host)) throw std::runtime_error("Host not provided in HTTP request");
    SendXml(BuildConversionStatusXml(offlineTranscode_, "http://" + host, fileMaker_, state_->GetShowAllConversions()),
            200);
}

void HttpListener::CancelConversion(const std::string& rest) {
    IOfflineTranscode& queue = Queue(offlineTranscode_);
    bool matched = false;
    for (const ConversionStatus& row : queue.GetConversions()) {
        if (kivm::ToUTF8Ex(row.SrcVirtualPath) != rest) continue;
        queue.Cancel(row.SrcVirtualPath);
        matched = true;
    }
    SendText(matched ? std::string("Deleted") : "Not found [" + rest + "]", 200);
}

void HttpListener::DeleteConversion(const std::string& rest) {
    bool matched = false;
    for (const FinishedConversion& entry : state_->GetFinishedConversions()) {
        if (entry.DstVirtualPath != rest) continue;
        state_->DeleteFinishedConversion(entry);
        matched = true;
    }
    if (matched) state_->Save();
    SendText(matched ? std::string("Deleted") : "Not found [" + rest + "]", 200);
}
