#include "media/Segmenter.h"

#include <atomic>
#include <exception>

#include "kivlib/KivProcess.h"
#include "kivlib/kiv_text.h"

namespace {

// Segmenters are made and destroyed under the registry lock, but the worker reads the count without it.
std::atomic<int32_t> LiveSegmenterCount{0};

}  // namespace

int32_t GetLiveSegmenterCount() { return LiveSegmenterCount.load(); }

boost::shared_ptr<ISegmenter> Segmenter::GetInstance(uint32_t segmentSeconds, const std::wstring& prefix,
                                                     const std::wstring& playlist, const std::wstring& urlBase,
                                                     uint32_t firstNumber) {
    Segmenter* segmenter = new Segmenter();
    if (!segmenter->Start(segmentSeconds, prefix, playlist, urlBase, firstNumber)) {
        segmenter->Destroy();
        return boost::shared_ptr<ISegmenter>();
    }
    return boost::shared_ptr<ISegmenter>(segmenter, KivDeleter::deleter());
}

Segmenter::Segmenter() { ++LiveSegmenterCount; }

Segmenter::~Segmenter() {
    // A gentle stop closes the input: the program cuts what is still in the pipe and closes its last file.
    if (process_ && !process_->Stop(true, 5000)) process_->Stop(false, 5000);
    --LiveSegmenterCount;
}

std::vector<std::string> Segmenter::Arguments(uint32_t segmentSeconds, const std::wstring& prefix,
                                              const std::wstring& playlist, const std::wstring& urlBase,
                                              uint32_t firstNumber) {
    return {"-", numstr::ToStr(segmentSeconds), kivm::str_conv(kivm::standardize_path(prefix)),
            kivm::str_conv(kivm::standardize_path(playlist)), kivm::str_conv(urlBase), numstr::ToStr(firstNumber)};
}

bool Segmenter::Start(uint32_t segmentSeconds, const std::wstring& prefix, const std::wstring& playlist,
                      const std::wstring& urlBase, uint32_t firstNumber) {
    prefix_ = prefix;
    playlist_ = playlist;
    urlBase_ = urlBase;
    process_ = KivProcess::GetInstance();
    if (!process_) return false;
    return process_->Start("Segmenter.exe", Arguments(segmentSeconds, prefix, playlist, urlBase, firstNumber), false,
                           true, false);
}

int Segmenter::Send(const void* bytes, size_t length) {
    try {
        process_->WriteStdin(bytes, length);
        return MSG_OK;
    } catch (const std::exception&) {
        return MSG_SEND_FAILED;
    }
}

boost::shared_ptr<ISegmenterFactory> SegmenterFactory::GetInstance() {
    return boost::shared_ptr<ISegmenterFactory>(new SegmenterFactory(), KivDeleter::deleter());
}

boost::shared_ptr<ISegmenter> SegmenterFactory::CreateSegmenter(uint32_t segmentSeconds, const std::wstring& prefix,
                                                                const std::wstring& playlist, const std::wstring& urlBase,
                                                                uint32_t firstNumber) {
    return Segmenter::GetInstance(segmentSeconds, prefix, playlist, urlBase, firstNumber);
}
