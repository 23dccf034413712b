#include "media/Thumbnail.h"

#include <atomic>

#include "core/Log.h"
#include "core/Util.h"
#include "kivlib/KivProcess.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"
#include "media/IMetadata.h"
#include "media/MediaRunSlot.h"
#include "media/TranscodeParams.h"

namespace {

// Said when a grab was given up (MediaRunSlot::GivenUpText).
const wchar_t kStoppedText[] = L"Media run given up: the server stops or the request was abandoned";

// Written once at start-up and read by every connection thread afterwards.
std::atomic<ImageResizeCallback> g_resizeCallback{nullptr};
std::atomic<ImageSizeCallback> g_sizeCallback{nullptr};

// Removes the grab's intermediate picture however CreateJPEG ends, exceptions of any type included.
class IntermediateImage {
public:
    IntermediateImage(const std::wstring& path, bool owned) : path_(path), owned_(owned) {}
    ~IntermediateImage() {
        if (!owned_) return;
        if (!kiv_delete(path_) && kiv_file_exists(path_))
            KIV_LOG("Unable to delete intermediate image: " + kivm::str_conv(path_));
    }
    IntermediateImage(const IntermediateImage&) = delete;
    IntermediateImage& operator=(const IntermediateImage&) = delete;

private:
    std::wstring path_;
    bool owned_;
};

}  // namespace

void SetImageResizeCallback(ImageResizeCallback callback) { g_resizeCallback = callback; }

void SetImageSizeCallback(ImageSizeCallback callback) { g_sizeCallback = callback; }

boost::shared_ptr<Thumbnail> Thumbnail::GetInstance(IMetadataFactory* metadata) {
    return boost::shared_ptr<Thumbnail>(new Thumbnail(metadata), KivDeleter::deleter());
}

std::vector<std::string> Thumbnail::GrabArguments(const std::wstring& imagePath, const std::wstring& videoPath,
                                                  uint32_t seconds) {
    // The seek stands before the input, so ffmpeg jumps to the nearest keyframe instead of decoding
    // everything before it. One decoding thread: a single frame gains nothing from frame threads (they
    // only add delay), and the runs at once are limited to one per core. "-update 1" writes one picture
    // under the name as it is (the image muxer would expand "%d" in it), and "-y" overwrites a file left
    // by an earlier run.
    return {"-y", "-threads", "1", "-ss", numstr::ToStr(seconds), "-i", FfmpegLocalFile(videoPath), "-vcodec", "png",
            "-frames:v", "1", "-update", "1", "-an", "-f", "image2", FfmpegLocalFile(imagePath)};
}

Thumbnail::GrabResult Thumbnail::Grab(KivProcess& process, const std::wstring& imagePath,
                                      const std::wstring& videoPath, uint32_t seconds) {
    process.Start("ffmpeg.exe", GrabArguments(imagePath, videoPath, seconds), true, false, true);
    int code = -1;
    const int state = MediaRunSlot::Wait(process, code, MediaRunSlot::TimeLimitMs());
    if (state == MediaRunSlot::WAIT_STOPPED || state == MediaRunSlot::WAIT_ABANDONED) {
        KIV_LOG(std::string("ffmpeg stopped creating thumbnail: ") + MediaRunSlot::GivenUpReason(state));
        lastError_ = kStoppedText;
        return GrabFailed;
    }
    if (state == KivProcess::WAIT_ENDED) {
        if (code != 0) {
            KIV_LOG("ffmpeg returned an error exit code: " + std::to_string(code));
            KIV_LOG(process.ReadStderr(true));
            return GrabFailed;
        }
        return kiv_file_exists(imagePath) ? GrabMade : GrabNoImage;
    }
    if (state == KivProcess::WAIT_RUNNING) {
        KIV_LOG("ffmpeg timed out creating thumbnail");
        process.Stop(false, 5000);
        return GrabFailed;
    }
    KIV_LOG("ffmpeg failed to launch");
    lastError_ = L"Launching ffmpeg failed";
    return GrabFailed;
}

bool Thumbnail::CreateJPEG(const std::wstring& jpegPath, const std::wstring& videoPath, uint32_t boxWidth,
                           uint32_t boxHeight, uint32_t seconds) {
    const bool resizing = g_resizeCallback.load() != nullptr;
    const std::wstring imagePath = resizing ? jpegPath + L".png" : jpegPath;
    kiv_delete(jpegPath);
    IntermediateImage intermediate(imagePath, resizing);

    // Waiting for a free slot does not count toward the grab's own time limit.
    MediaRunSlot slot;
    if (!slot.Held()) {
        KIV_LOG("Thumbnail not made: the server stops or the request was abandoned");
        lastError_ = kStoppedText;
        return false;
    }
    boost::shared_ptr<KivProcess> process = KivProcess::GetInstance();
    if (!process) return false;
    GrabResult grabbed = Grab(*process, imagePath, videoPath, seconds);
    if (grabbed == GrabNoImage && seconds > 0) {
        // An offset at or past the end gives no picture: a video shorter than that shows its first frame.
        KIV_LOG("ffmpeg found no frame at " + std::to_string(seconds) + " s, grabbing the first frame instead");
        process = KivProcess::GetInstance();
        if (!process) return false;
        grabbed = Grab(*process, imagePath, videoPath, 0);
    }
    if (grabbed == GrabFailed) return false;
    if (grabbed == GrabNoImage) {
        KIV_LOG("ffmpeg says thumbnail was created, but the resulting file can't be opened");
        return false;
    }
    return FitGrabbedFrame(*process, jpegPath, imagePath, videoPath, boxWidth, boxHeight);
}

bool Thumbnail::FitGrabbedFrame(KivProcess& process, const std::wstring& jpegPath, const std::wstring& imagePath,
                                const std::wstring& videoPath, uint32_t boxWidth, uint32_t boxHeight) {
    // The grab's standard error describes the input: the facts for the reply headers come from this run.
    boost::shared_ptr<IMetadata> metadata;
    if (metadata_) metadata = metadata_->ParseProcess(process, videoPath);
    if (!metadata) KIV_LOG("ffmpeg metadata parser failed, cannot resize image.");

    const ImageResizeCallback resize = g_resizeCallback.load();
    if (!resize) return true;  // the frame stands at the JPEG path as ffmpeg wrote it
    if (!metadata) {
        lastError_ = L"Metadata parse failed";
        return false;
    }
    int32_t darNumerator = 0, darDenominator = 0;
    metadata->GetDAR(darNumerator, darDenominator);
    if (darNumerator <= 0 || darDenominator <= 0) {
        // No usable aspect: the picture's own size; failing that, FitToBox fills the whole box.
        darNumerator = metadata->GetWidth();
        darDenominator = metadata->GetHeight();
    }
    uint32_t width = 0, height = 0, top = 0, left = 0;
    FitToBox(width, height, top, left, boxWidth, boxHeight, darNumerator > 0 ? uint32_t(darNumerator) : 0,
             darDenominator > 0 ? uint32_t(darDenominator) : 0);
    const bool resized = resize(jpegPath, imagePath, int32_t(width), int32_t(height), int32_t(boxWidth),
                                int32_t(boxHeight), int32_t(top), int32_t(left));
    if (!resized) lastError_ = L"Resize operation failed";
    return resized;
}

bool Thumbnail::ResizeJPEG(const std::wstring& destination, const std::wstring& source, uint32_t boxWidth,
                           uint32_t boxHeight) {
    if (!kiv_file_exists(source)) {
        KIV_LOG("src jpg does not exist");
        return false;
    }
    const ImageResizeCallback resize = g_resizeCallback.load();
    if (!resize) return true;
    const ImageSizeCallback size = g_sizeCallback.load();
    int32_t sourceWidth = 0, sourceHeight = 0;
    if (!size || !size(source, sourceWidth, sourceHeight) || sourceWidth <= 0 || sourceHeight <= 0) {
        lastError_ = L"Image size fetch operation failed";
        return false;
    }
    uint32_t width = 0, height = 0, top = 0, left = 0;
    FitToBoxByRatio(width, height, top, left, boxWidth, boxHeight, double(sourceWidth) / double(sourceHeight));
    const bool resized = resize(destination, source, int32_t(width), int32_t(height), int32_t(boxWidth),
                                int32_t(boxHeight), int32_t(top), int32_t(left));
    if (!resized) lastError_ = L"Resize operation failed";
    return resized;
}
