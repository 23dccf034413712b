#include "media/Subtitle.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <exception>

#include <boost/regex.hpp>

#include "core/Log.h"
#include "kivlib/KivFileStream.h"
#include "kivlib/KivProcess.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"
#include "media/MediaRunSlot.h"
#include "media/TranscodeParams.h"

namespace {

const uint64_t kExtractBytesPerSecond = 50ull * 1000 * 1000;

bool Equals(const std::string& line, const char* text) { return kivm::str_case_eq(line, std::string(text)); }

bool StartsWith(const std::string& line, const char* text) {
    const size_t n = strlen(text);
    return line.size() >= n && kivm::str_case_eq(line.substr(0, n), std::string(text));
}

// Lines of a stream, their line ends removed (a CR before the LF belongs to the line end). A run of more
// than maxBytes without a line end is handed out maxBytes at a time, so a file without line ends is
// never read whole.
class LineReader {
public:
    LineReader(IBlockingStream& stream, size_t maxBytes) : stream_(stream), maxBytes_(maxBytes) {}

    // False at the end of the stream.
    bool Next(std::string& line) {
        line.clear();
        bool any = false;
        while (line.size() < maxBytes_) {
            if (at_ == buffer_.size() && !Fill()) break;
            any = true;
            const size_t end = buffer_.find('\n', at_);
            const size_t stop = std::min(end == std::string::npos ? buffer_.size() : end, at_ + maxBytes_ - line.size());
            line.append(buffer_, at_, stop - at_);
            at_ = stop;
            if (stop == end) {
                ++at_;
                break;
            }
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return any;
    }

private:
    bool Fill() {
        char block[4096];
        const size_t n = stream_.Read(block, sizeof(block));
        buffer_.assign(block, n);
        at_ = 0;
        return n > 0;
    }

    IBlockingStream& stream_;
    size_t maxBytes_;
    std::string buffer_;
    size_t at_ = 0;
};

// Every line of a whole text, line ends removed as above.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// One SubStation "Dialogue:" line as a SubRip entry; false for a line with fewer than nine commas.
bool DialogueEntry(const std::string& line, size_t number, std::vector<std::string>& output) {
    size_t commas[9];
    size_t found = 0;
    for (size_t at = line.find(','); at != std::string::npos && found < 9; at = line.find(',', at + 1)) {
        commas[found++] = at;
    }
    if (found < 9) return false;
    static const boost::regex lineBreak("\\\\N|\\\\n", boost::regex::perl);
    const std::string start = line.substr(commas[0] + 1, commas[1] - commas[0] - 1);
    const std::string end = line.substr(commas[1] + 1, commas[2] - commas[1] - 1);
    const std::string text = boost::regex_replace(line.substr(commas[8] + 1), lineBreak, "\n");
    output.push_back(std::to_string(number));
    output.push_back(start + " --> " + end);
    output.push_back(text);
    return true;
}

}  // namespace

boost::shared_ptr<Subtitle> Subtitle::GetInstance(IMetadataFactory* metadata) {
    return boost::shared_ptr<Subtitle>(new Subtitle(metadata), KivDeleter::deleter());
}

std::vector<std::string> Subtitle::ExtractArguments(const std::wstring& outputPath, const std::wstring& videoPath,
                                                    uint32_t streamNumber) {
    // Re-encoding as SubRip gives SubRip, mov_text and ASS tracks back with their times; a plain copy
    // would keep bare texts that no format probe recognises. Bitmap tracks cannot be made text: they fail.
    return {"-y", "-i", FfmpegLocalFile(videoPath), "-an", "-vn", "-map", "0:" + numstr::ToStr(streamNumber),
            "-c:s", "srt", "-f", "srt", FfmpegLocalFile(outputPath)};
}

uint32_t Subtitle::ExtractTimeoutMs(uint64_t videoBytes) {
    const uint64_t extraSeconds = videoBytes / kExtractBytesPerSecond;
    const uint64_t ms = uint64_t(MediaRunSlot::TimeLimitMs()) + extraSeconds * 1000;
    return ms > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(ms);
}

bool Subtitle::ExtractStream(const std::wstring& outputPath, const std::wstring& videoPath, uint32_t streamNumber) {
    kiv_delete(outputPath);
    uint64_t videoBytes = 0;
    if (boost::shared_ptr<IBlockingStream> video = KivFileStream::GetInstance(videoPath, OPEN_READ))
        videoBytes = video->GetSize();

    // Waiting for a free slot does not count toward the extraction's own time limit.
    MediaRunSlot slot;
    if (!slot.Held()) {
        KIV_LOG("Subtitle not extracted: the server stops or the request was abandoned");
        return false;
    }
    boost::shared_ptr<KivProcess> process = KivProcess::GetInstance();
    if (!process) return false;
    process->Start("ffmpeg.exe", ExtractArguments(outputPath, videoPath, streamNumber), true, false, true);
    int code = -1;
    const int state = MediaRunSlot::Wait(*process, code, ExtractTimeoutMs(videoBytes));
    if (state == MediaRunSlot::WAIT_STOPPED || state == MediaRunSlot::WAIT_ABANDONED) {
        KIV_LOG(std::string("ffmpeg stopped extracting subtitle: ") + MediaRunSlot::GivenUpReason(state));
        return false;
    }
    if (state == KivProcess::WAIT_ENDED) {
        if (code != 0) {
            KIV_LOG("ffmpeg returned an error exit code: " + std::to_string(code));
            KIV_LOG(process->ReadStderr(true));
            return false;
        }
        if (!kiv_file_exists(outputPath)) {
            KIV_LOG("ffmpeg says subtitle was extracted, but the resulting file can't be opened");
            return false;
        }
        return true;
    }
    if (state == KivProcess::WAIT_RUNNING) {
        KIV_LOG("ffmpeg timed out extracting subtitle");
        process->Stop(false, 5000);
        return false;
    }
    KIV_LOG("ffmpeg failed to launch");
    lastError_ = L"Launching ffmpeg failed";
    return false;
}

SubtitleType Subtitle::DetectLine(const std::string& text) {
    const char* line = text.c_str();
    int a, b, c, d, e, f, g, h;
    char ch = 0;
    if (Equals(text, "<SAMI>")) return 7;
    if (sscanf(line, "{%d}{%d}", &a, &b) == 2 || sscanf(line, "{%d}{}", &a) == 1) return 0;
    if (sscanf(line, "%d:%d:%d,%d --> %d:%d:%d,%d", &a, &b, &c, &d, &e, &f, &g, &h) == 8) return 1;
    if (sscanf(line, "%d:%d:%d.%d --> %d:%d:%d.%d", &a, &b, &c, &d, &e, &f, &g, &h) == 8) {
        KIV_LOG("Detected invalid SubRip file, proceeding regardless");
        return 2;
    }
    if (StartsWith(text, "!: This is a Sub Station Alpha v1")) return 3;
    if (StartsWith(text, "ScriptType: v4.00+")) return 5;
    if (StartsWith(text, "ScriptType: v4.00")) return 4;
    if (StartsWith(text, "Dialogue: Marked")) return 4;
    if (StartsWith(text, "Dialogue:")) return 5;
    if (StartsWith(text, "alogue:")) return 5;
    if (Equals(text, "[INFORMATION]")) return 8;
    if (sscanf(line, "%d:%d:%d.%d %d:%d:%d", &a, &b, &c, &d, &e, &f, &g) == 7 || sscanf(line, "@%d @%d", &a, &b) == 2)
        return 14;
    if (sscanf(line, "%d:%d:%d:", &a, &b, &c) == 3 || sscanf(line, "%d:%d:%d ", &a, &b, &c) == 3) return 6;
    if (sscanf(line, "{T %d:%d:%d:%d", &a, &b, &c, &d) == 4) return 9;
    if (sscanf(line, "[%d:%d:%d]%c", &a, &b, &c, &ch) == 4) return 17;
    if (text.find("*** START SCRIPT") != std::string::npos) return 18;
    if (sscanf(line, "[%d][%d]", &a, &b) == 2 || sscanf(line, "[%d][]", &a) == 1) return 10;
    if (sscanf(line, "FORMAT=%d", &a) == 1) return 13;
    if (sscanf(line, "FORMAT=TIM%c", &ch) == 1 && ch == 'E') return 13;
    if (sscanf(line, "-->> %d", &a) == 1) return 11;
    if (sscanf(line, "%d,%d,", &a, &b) == 2) return 12;
    if (sscanf(line, "{%d:%d:%d}", &a, &b, &c) == 3) return 15;
    if (Equals(text, "<time")) return 16;
    return -1;
}

SubtitleType Subtitle::DetectType(const std::wstring& path) {
    boost::shared_ptr<IBlockingStream> stream = KivFileStream::GetInstance(path, OPEN_READ);
    if (!stream) return -1;
    try {
        LineReader reader(*stream, kMaxLineBytes);
        std::string line;
        for (size_t read = 0; read < kMaxDetectLines && reader.Next(line); ++read) {
            const SubtitleType type = DetectLine(line);
            if (type != -1) return type;
        }
    } catch (const std::exception& e) {
        KIV_LOG(std::string("Reading subtitle file failed: ") + e.what());
    }
    return -1;
}

bool Subtitle::IsConvertible(SubtitleType type) { return type == 1 || type == 3 || type == 4 || type == 5; }

bool Subtitle::ConvertToSubRip(SubtitleType type, const std::wstring& source, const std::wstring& destination) {
    if (!IsConvertible(type)) return false;
    std::string text;
    {
        boost::shared_ptr<IBlockingStream> input = KivFileStream::GetInstance(source, OPEN_READ);
        if (!input) {
            KIV_LOG("Subtitle source can't be opened: " + kivm::str_conv(source));
            return false;
        }
        const uint64_t size = input->GetSize();
        if (size > kMaxConvertBytes) {
            KIV_LOG("Subtitle source too large to convert: " + kivm::str_conv(source));
            return false;
        }
        try {
            text.resize(static_cast<size_t>(size));
            text.resize(size ? input->Read(&text[0], text.size()) : 0);
        } catch (const std::exception& e) {
            KIV_LOG(std::string("Reading subtitle file failed: ") + e.what());
            return false;
        }
    }

    std::vector<std::string> output;
    const std::vector<std::string> lines = SplitLines(text);
    if (type == 1) {
        output = lines;
    } else {
        size_t number = 0;
        for (const std::string& line : lines) {
            if (!StartsWith(line, "Dialogue:") && !StartsWith(line, "alogue:")) continue;
            if (DialogueEntry(line, number + 1, output)) ++number;
        }
    }

    std::string converted;
    for (const std::string& line : output) converted += line + "\n";
    boost::shared_ptr<IBlockingStream> out = KivFileStream::GetInstance(destination, OPEN_CREATE);
    if (!out) {
        KIV_LOG("Subtitle destination can't be created: " + kivm::str_conv(destination));
        return false;
    }
    return out->Write(converted.data(), converted.size());
}

std::string Subtitle::GetTypeName(SubtitleType type) {
    static const char* const kNames[] = {"MicroDVD",
                                         "SubRip",
                                         "SubRip (dot)",
                                         "SubStation Alpha v1",
                                         "SubStation Alpha v2-v4",
                                         "Advanced SubStation Alpha",
                                         "VPlayer",
                                         "SAMI",
                                         "SubViewer",
                                         "DVD Subtitle",
                                         "MPL2",
                                         "AQT",
                                         "PJS",
                                         "MPSub",
                                         "JACOSub",
                                         "PSB",
                                         "RT",
                                         "DKS",
                                         "SubView1"};
    if (type == -1) return "Unknown";
    if (type < 0 || type >= static_cast<SubtitleType>(sizeof(kNames) / sizeof(kNames[0]))) return "?wtf?";
    return kNames[type];
}
