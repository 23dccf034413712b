#include "core/Util.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <boost/regex.hpp>
#include <boost/shared_ptr.hpp>

#include <wx/image.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include "core/FileMaker.h"
#include "core/IState.h"
#include "core/Log.h"
#include "kivlib/KivFileFinder.h"
#include "kivlib/KivFileStream.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"

const wchar_t* const kStreamFolderMarker = L".calvoro-stream";

namespace {

bool HasExtensionIn(const std::wstring& path, const std::set<std::wstring>& extensions) {
    const std::wstring::size_type dot = path.rfind(L'.');
    if (dot == std::wstring::npos) return false;
    const std::wstring extension = kivm::str_conv(kivm::str_tolower(kivm::str_conv(path.substr(dot + 1))));
    return extensions.count(extension) != 0;
}

void WholeBox(uint32_t& width, uint32_t& height, uint32_t& top, uint32_t& left, uint32_t boxWidth,
              uint32_t boxHeight) {
    width = boxWidth;
    height = boxHeight;
    top = 0;
    left = 0;
}

// A shape as thousandths of width / height, rounded; near-equal shapes compare equal.
double Thousandths(double ratio) { return std::floor(ratio * 1000.0 + 0.5); }

const boost::regex& StreamFolderName() {
    static const boost::regex pattern("^([a-f0-9]+)$", boost::regex::perl);
    return pattern;
}

struct FolderItem {
    std::wstring name;
    bool isDirectory;
    bool isLink;
};

std::vector<FolderItem> ListFolder(const std::wstring& folder, IKivFileFinderFactory* finders) {
    std::vector<FolderItem> items;
    boost::shared_ptr<IKivFileFinder> finder = finders->CreateFinder();
    if (!finder) return items;
    for (boost::shared_ptr<IFileFindEntry> entry = finder->StartFileFind(folder); entry;
         entry = finder->ContinueFileFind()) {
        items.push_back(FolderItem{entry->GetName(), entry->IsDirectory(), entry->IsLink()});
    }
    return items;
}

bool IsStreamFolder(const std::wstring& path, const std::wstring& name, IFileMaker* files) {
    return boost::regex_match(kivm::str_conv(name), StreamFolderName()) &&
           files->Exists(path + L"/" + kStreamFolderMarker);
}

// The image operations are called on connection threads, where a framework log call would be queued
// for the GUI and shown there as a dialog (the PNG handler reports a broken file even when not verbose).
// So every image is decoded and encoded on one thread of its own that keeps the framework's log switched
// off for its whole life: the framework keeps per-thread log state for each thread that touches its
// log, which connection threads would leave behind one by one. The files are read and written here and
// the handlers called directly with verbose off.
const uint64_t kMaxImageFileBytes = 256ull << 20;

class ImageThread {
public:
    // Made on first use and never destroyed; the thread waits for work until the process ends.
    static ImageThread& Get() {
        static ImageThread* thread = new ImageThread();
        return *thread;
    }

    // Runs job on the image thread and gives its result; false when it could not run.
    bool Run(std::function<bool()> job) {
        std::packaged_task<bool()> task(std::move(job));
        std::future<bool> result = task.get_future();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(task));
        }
        wake_.notify_one();
        try {
            return result.get();
        } catch (const std::exception&) {
            return false;
        }
    }

private:
    ImageThread() { std::thread([this] { Loop(); }).detach(); }

    void Loop() {
        wxLogNull quiet;
        for (;;) {
            std::packaged_task<bool()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return !jobs_.empty(); });
                task = std::move(jobs_.front());
                jobs_.pop_front();
            }
            task();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<bool()>> jobs_;
};

bool OnImageThread(std::function<bool()> job) {
    try {
        return ImageThread::Get().Run(std::move(job));
    } catch (const std::exception&) {  // no thread could be made
        return false;
    }
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    boost::shared_ptr<IBlockingStream> in = KivFileStream::GetInstance(path, OPEN_READ);
    if (!in) return false;
    const uint64_t size = in->GetSize();
    if (size == 0 || size > kMaxImageFileBytes) return false;
    bytes.resize(static_cast<size_t>(size));
    try {
        bytes.resize(in->Read(&bytes[0], bytes.size()));
    } catch (const std::exception&) {
        return false;
    }
    return !bytes.empty();
}

// Any registered handler that recognises the data decodes it.
bool LoadImageFile(const std::wstring& path, wxImage& image) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) return false;
    wxMemoryInputStream stream(bytes.data(), bytes.size());
    for (wxList::compatibility_iterator node = wxImage::GetHandlers().GetFirst(); node; node = node->GetNext()) {
        wxImageHandler* handler = static_cast<wxImageHandler*>(node->GetData());
        if (!handler || !handler->CanRead(stream)) continue;
        image.Destroy();
        if (handler->LoadFile(&image, stream, false) && image.IsOk()) return true;
        stream.SeekI(0);
    }
    image.Destroy();
    return false;
}

// Encodes in memory first, so a failed encoding leaves no file behind.
bool SaveJpegFile(const std::wstring& path, wxImage& image) {
    wxImageHandler* jpeg = wxImage::FindHandler(wxBITMAP_TYPE_JPEG);
    if (!jpeg) return false;
    wxMemoryOutputStream encoded;
    if (!jpeg->SaveFile(&image, encoded, false)) return false;
    std::string bytes(static_cast<size_t>(encoded.GetLength()), '\0');
    if (bytes.empty() || encoded.CopyTo(&bytes[0], bytes.size()) != bytes.size()) return false;
    boost::shared_ptr<IBlockingStream> out = KivFileStream::GetInstance(path, OPEN_CREATE);
    if (!out) return false;
    if (out->Write(bytes.data(), bytes.size())) return true;
    out.reset();
    kiv_delete(path);
    return false;
}

}  // namespace

bool IsVideoFile(const std::wstring& path, const std::set<std::wstring>& extensions) {
    return HasExtensionIn(path, extensions);
}

bool IsSubtitleFile(const std::wstring& path, const std::set<std::wstring>& extensions) {
    return HasExtensionIn(path, extensions);
}

// A fitted side of a thin box still has a pixel: a picture of width or height 0 cannot be made. The
// value never exceeds the box side it was fitted into.
namespace {
uint32_t AtLeastOne(double side) { return side < 1.0 ? 1u : static_cast<uint32_t>(side); }
uint32_t AtLeastOne(uint64_t side) { return side < 1 ? 1u : static_cast<uint32_t>(side); }
}  // namespace

bool FitToBox(uint32_t& width, uint32_t& height, uint32_t& top, uint32_t& left, uint32_t boxWidth,
              uint32_t boxHeight, uint32_t sourceWidth, uint32_t sourceHeight) {
    if (boxWidth == 0 || boxHeight == 0 || sourceWidth == 0 || sourceHeight == 0) {
        WholeBox(width, height, top, left, boxWidth, boxHeight);
        return true;
    }
    const double source = Thousandths(static_cast<double>(sourceWidth) / sourceHeight);
    const double box = Thousandths(static_cast<double>(boxWidth) / boxHeight);
    if (source > box) {  // wider than the box: full width, centred vertically
        width = boxWidth;
        height = AtLeastOne(static_cast<uint64_t>(boxWidth) * sourceHeight / sourceWidth);
        top = (boxHeight - height) / 2;
        left = 0;
    } else if (box > source) {  // taller than the box: full height, centred horizontally
        height = boxHeight;
        width = AtLeastOne(static_cast<uint64_t>(boxHeight) * sourceWidth / sourceHeight);
        left = (boxWidth - width) / 2;
        top = 0;
    } else {
        WholeBox(width, height, top, left, boxWidth, boxHeight);
    }
    return true;
}

bool FitToBoxByRatio(uint32_t& width, uint32_t& height, uint32_t& top, uint32_t& left, uint32_t boxWidth,
                     uint32_t boxHeight, double sourceRatio) {
    if (boxWidth == 0 || boxHeight == 0 || !(sourceRatio > 0.0) || !std::isfinite(sourceRatio)) {
        WholeBox(width, height, top, left, boxWidth, boxHeight);
        return true;
    }
    const double source = Thousandths(sourceRatio);
    const double box = Thousandths(static_cast<double>(boxWidth) / boxHeight);
    if (source > box) {
        width = boxWidth;
        height = AtLeastOne(boxWidth / sourceRatio);
        top = (boxHeight - height) / 2;
        left = 0;
    } else if (box > source) {
        height = boxHeight;
        width = AtLeastOne(boxHeight * sourceRatio);
        left = (boxWidth - width) / 2;
        top = 0;
    } else {
        WholeBox(width, height, top, left, boxWidth, boxHeight);
    }
    return true;
}

std::string FindLongestCommonPrefix(const std::set<std::string>& candidates, const std::string& text) {
    std::string best;
    size_t bestCount = 0;
    for (const std::string& candidate : candidates) {
        const size_t limit = std::min(candidate.size(), text.size());
        size_t count = 0;
        while (count < limit && candidate[count] == text[count]) ++count;
        if (count > bestCount) {
            bestCount = count;
            best = candidate;
        }
    }
    return best;
}

void CleanFolder(const std::wstring& folder, IKivFileFinderFactory* finders, IFileMaker* files, bool deleteFiles) {
    std::vector<FolderItem> items = ListFolder(folder, finders);
    // The marker goes last, so a clean-up cut short leaves a folder that the next one still recognises.
    std::stable_partition(items.begin(), items.end(),
                          [](const FolderItem& item) { return item.name != kStreamFolderMarker; });
    bool keptFolder = false;
    for (const FolderItem& item : items) {
        const std::wstring path = folder + L"/" + item.name;
        if (item.isLink) {
            // Never followed; inside a stream folder the link itself goes, never what it points to.
            if (deleteFiles) files->DeleteFile(path);
        } else if (item.isDirectory) {
            if (IsStreamFolder(path, item.name, files)) {
                CleanFolder(path, finders, files, true);
                files->RemoveDirectory(path);
            } else {
                keptFolder = true;
            }
        } else if (deleteFiles && !(keptFolder && item.name == kStreamFolderMarker)) {
            // A folder that cannot go keeps its marker, so it stays recognised as the server's own.
            files->DeleteFile(path);
        }
    }
}

void CleanCacheFolder(IState* state, IKivFileFinderFactory* finders, IFileMaker* files) {
    if (!state || !finders || !files) {
        KIV_LOG("WARNING: cache clean-up skipped: no state, finder factory or file service");
        return;
    }
    try {
        CleanFolder(state->GetCacheFolder(), finders, files, false);
    } catch (const std::exception& e) {
        KIV_LOG(e.what());
    }
}

void CleanOfflineFolder(IState* state, IKivFileFinderFactory* finders, IFileMaker* files) {
    if (!state || !finders || !files) {
        KIV_LOG("WARNING: offline folder clean-up skipped: no state, finder factory or file service");
        return;
    }
    const std::wstring folder = state->GetCacheFolder() + L"/offline";
    std::set<std::wstring> finished;
    for (const FinishedConversion& conversion : state->GetFinishedConversions())
        finished.insert(kivm::standardize_path(conversion.FilePath));
    for (const FolderItem& item : ListFolder(folder, finders)) {
        if (item.isDirectory && !item.isLink) continue;  // the queue writes files only
        const std::wstring path = folder + L"/" + item.name;
        if (finished.count(kivm::standardize_path(path))) continue;
        try {
            files->DeleteFile(path);
            KIV_LOG("Removed what no finished conversion names: " + kivm::ToValidUtf8(kivm::str_conv(path)));
        } catch (const std::exception& e) {
            KIV_LOG(e.what());
        }
    }
}

bool GetImageSize(const std::wstring& path, int32_t& width, int32_t& height) {
    int32_t foundWidth = 0, foundHeight = 0;
    OnImageThread([&] {
        wxImage image;
        if (!LoadImageFile(path, image)) return false;
        foundWidth = image.GetWidth();
        foundHeight = image.GetHeight();
        return true;
    });
    width = foundWidth;
    height = foundHeight;
    return width > 0 && height > 0;
}

bool ResizeImage(const std::wstring& destination, const std::wstring& source, int32_t width, int32_t height,
                 int32_t boxWidth, int32_t boxHeight, int32_t top, int32_t left) {
    if (width <= 0 || height <= 0 || boxWidth <= 0 || boxHeight <= 0) return false;
    return OnImageThread([&] {
        wxImage image;
        if (!LoadImageFile(source, image)) return false;
        image.Rescale(width, height, wxIMAGE_QUALITY_NORMAL);
        wxImage canvas(boxWidth, boxHeight, true);  // cleared to black
        canvas.Paste(image, left, top);
        return SaveJpegFile(destination, canvas);
    });
}
