#include "media/FfmpegMetadataParser.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <boost/regex.hpp>

#include "core/Log.h"
#include "core/Util.h"
#include "kivlib/KivFileFinder.h"
#include "kivlib/KivProcess.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_thread.h"
#include "media/MediaRunSlot.h"
#include "media/TranscodeParams.h"

const uint32_t MetadataFactory::kProbeTimeoutMs = 5000;

std::set<std::wstring> MakeSubtitleExtensionSet() { return {L"srt", L"ssa", L"ass"}; }

namespace {

// One probe under way. The requests for the same file that come meanwhile wait for it and share its
// result; its own lock guards its outcome and the count of those waiting, and is never taken with the
// cache's.
struct ProbeInFlight {
    enum Outcome { Running, Done, GivenUp };
    std::mutex lock;
    std::condition_variable ended;
    Outcome outcome = Running;
    boost::shared_ptr<IMetadata> result;
    uint32_t waiting = 0;  // requests in AwaitProbe
};

std::atomic<uint32_t> g_awaiting{0};

// Whether a request still waits for the probe: while one does, the probe goes on though its own
// request was abandoned.
bool Awaited(ProbeInFlight& probe) {
    std::lock_guard<std::mutex> guard(probe.lock);
    return probe.waiting > 0;
}

// The process-wide cache of successful probes, keyed by the normalised path, and the probes under way.
struct MetadataCache {
    MetadataCache() : lock(KivThreadMutex::GetInstance()) {
        if (!lock) throw std::runtime_error("Mutex creation failed");
    }
    boost::shared_ptr<KivThreadMutex> lock;
    std::map<std::wstring, boost::shared_ptr<IMetadata>> entries;
    std::map<std::wstring, std::shared_ptr<ProbeInFlight>> probes;
};

MetadataCache& Cache() {
    static MetadataCache cache;
    return cache;
}

boost::shared_ptr<IMetadata> CacheLookup(const std::wstring& key) {
    MetadataCache& cache = Cache();
    KivLock guard(*cache.lock);
    auto found = cache.entries.find(key);
    return found == cache.entries.end() ? boost::shared_ptr<IMetadata>() : found->second;
}

void CacheStore(const std::wstring& key, const boost::shared_ptr<IMetadata>& metadata) {
    MetadataCache& cache = Cache();
    KivLock guard(*cache.lock);
    cache.entries[key] = metadata;
}

// One lookup: the cached facts; else the probe under way for the key, which mine tells whether this
// caller has just started (and so must run).
boost::shared_ptr<IMetadata> CacheLookupOrJoin(const std::wstring& key, std::shared_ptr<ProbeInFlight>& probe,
                                               bool& mine) {
    MetadataCache& cache = Cache();
    KivLock guard(*cache.lock);
    auto found = cache.entries.find(key);
    if (found != cache.entries.end()) return found->second;
    std::shared_ptr<ProbeInFlight>& running = cache.probes[key];
    mine = !running;
    if (mine) running = std::make_shared<ProbeInFlight>();
    probe = running;
    return boost::shared_ptr<IMetadata>();
}

// One store: a success goes into the cache, and the probe is no longer under way.
void CacheEndProbe(const std::wstring& key, const boost::shared_ptr<IMetadata>& result) {
    MetadataCache& cache = Cache();
    KivLock guard(*cache.lock);
    if (result) cache.entries[key] = result;
    cache.probes.erase(key);
}

void PublishProbe(ProbeInFlight& probe, ProbeInFlight::Outcome outcome, const boost::shared_ptr<IMetadata>& result) {
    {
        std::lock_guard<std::mutex> guard(probe.lock);
        probe.outcome = outcome;
        probe.result = result;
    }
    probe.ended.notify_all();
}

// Waits for another request's probe; Running when this wait was given up (stop, abandoned request).
ProbeInFlight::Outcome AwaitProbe(ProbeInFlight& probe, boost::shared_ptr<IMetadata>& result) {
    std::unique_lock<std::mutex> guard(probe.lock);
    ++probe.waiting;
    ++g_awaiting;
    while (probe.outcome == ProbeInFlight::Running) {
        probe.ended.wait_for(guard, std::chrono::milliseconds(MediaRunWatch::kAskEveryMs));
        if (probe.outcome != ProbeInFlight::Running) break;
        guard.unlock();
        const bool giveUp = MediaRunSlot::Stopped() || MediaRunWatch::Abandoned();
        guard.lock();
        if (giveUp) {
            --probe.waiting;
            --g_awaiting;
            return ProbeInFlight::Running;
        }
    }
    --probe.waiting;
    --g_awaiting;
    result = probe.result;
    return probe.outcome;
}

// The description of the first input: from "Input #0" up to the output part of a run that has one.
std::string InputSection(const std::string& text) {
    size_t start = text.find("Input #0");
    if (start == std::string::npos) start = 0;
    size_t end = text.size();
    for (const char* mark : {"\nOutput #", "\nStream mapping:"}) {
        const size_t at = text.find(mark, start);
        if (at != std::string::npos && at < end) end = at;
    }
    return text.substr(start, end - start);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        if (end == text.size()) break;
        start = end + 1;
    }
    return lines;
}

size_t Indent(const std::string& line) {
    const size_t first = line.find_first_not_of(" \t");
    return first == std::string::npos ? line.size() : first;
}

uint32_t Number(const boost::smatch& m, int group) { return numstr::ToUint32(m[group].str()); }

// One stream line of either form: "Stream #0.1(eng): Audio: ..." or "Stream #0:1[0x2](eng): Audio: ...".
struct StreamLine {
    size_t line = 0;
    std::string prefix;  // what stands between the stream number and ": Kind:", e.g. "[0x2](eng)"
    std::string kind;    // Video, Audio, Subtitle, Data, Attachment
    std::string rest;    // the codec description after "Kind: "
};

std::map<uint32_t, StreamLine> FindStreams(const std::vector<std::string>& lines) {
    static const boost::regex pattern("^\\s*Stream #0[.:]([0-9]+)([^:]*): ([A-Za-z]+): ?(.*)$", boost::regex::perl);
    std::map<uint32_t, StreamLine> streams;
    for (size_t i = 0; i < lines.size(); ++i) {
        boost::smatch m;
        if (!boost::regex_match(lines[i], m, pattern)) continue;
        const uint32_t number = Number(m, 1);
        if (streams.count(number)) continue;  // the first description of a number wins
        streams[number] = StreamLine{i, m[2].str(), m[3].str(), m[4].str()};
    }
    return streams;
}

// The title in the stream's own metadata block: the lines below the stream line up to the next stream
// or program, or to a line indented less (ffmpeg 5.1 indents the block deeper, older versions as deep).
std::string StreamTitle(const std::vector<std::string>& lines, size_t streamLine) {
    static const boost::regex title("^\\s*title\\s*: (.*)$", boost::regex::perl);
    static const boost::regex next("^\\s*(Stream #|Program |Input #|Output #|Chapter)", boost::regex::perl);
    const size_t indent = Indent(lines[streamLine]);
    for (size_t i = streamLine + 1; i < lines.size(); ++i) {
        if (lines[i].empty() || Indent(lines[i]) < indent || boost::regex_search(lines[i], next)) break;
        boost::smatch m;
        if (boost::regex_match(lines[i], m, title)) return m[1].str();
    }
    return std::string();
}

// The language in the parentheses after the stream number ("(eng)"), never a codec profile further on.
std::string StreamLocale(const std::string& prefix) {
    const size_t open = prefix.find('(');
    if (open == std::string::npos) return std::string();
    const size_t close = prefix.find(')', open);
    const std::string inside = prefix.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    return inside.substr(0, 3);
}

bool ParseDuration(const std::string& text, double& duration) {
    static const boost::regex pattern("Duration: (\\d+):(\\d+):(\\d+).(\\d+)", boost::regex::perl);
    boost::smatch m;
    if (!boost::regex_search(text, m, pattern)) return false;
    const uint32_t whole = Number(m, 1) * 3600 + Number(m, 2) * 60 + Number(m, 3);
    double fraction = Number(m, 4);
    for (size_t digits = m[4].length(); digits > 0; --digits) fraction *= 0.1;
    duration = double(whole) + fraction;
    return true;
}

// "WxH" standing as a value of its own in the list, never the hexadecimal codec tag "0x31637661".
bool ParseSize(const std::string& videoLine, int32_t& width, int32_t& height) {
    static const boost::regex pattern("(?:^|[\\s,])([1-9][0-9]*)x([1-9][0-9]*)(?=$|[\\s,\\[])", boost::regex::perl);
    boost::smatch m;
    if (!boost::regex_search(videoLine, m, pattern)) return false;
    width = int32_t(Number(m, 1));
    height = int32_t(Number(m, 2));
    return true;
}

bool ParseAspect(const std::string& videoLine, Metadata::Facts& facts) {
    static const boost::regex pattern("[SP]AR\\s+(\\d+):(\\d+)\\s+DAR\\s+(\\d+):(\\d+)", boost::regex::perl);
    boost::smatch m;
    if (!boost::regex_search(videoLine, m, pattern)) return false;
    facts.parNum = int32_t(Number(m, 1));
    facts.parDen = int32_t(Number(m, 2));
    facts.darNum = int32_t(Number(m, 3));
    facts.darDen = int32_t(Number(m, 4));
    return true;
}

uint32_t ParseBitrate(const std::string& text) {
    static const boost::regex pattern("bitrate:\\s+(\\d+)\\s+kb/s", boost::regex::perl);
    boost::smatch m;
    return boost::regex_search(text, m, pattern) ? Number(m, 1) : 0;
}

void AddExternalSubtitle(std::vector<StreamInfo>& subtitles, const std::wstring& relative) {
    const size_t dot = relative.rfind(L'.');
    const std::wstring base = dot == std::wstring::npos ? relative : relative.substr(0, dot);
    const size_t langDot = base.rfind(L'.');
    const std::wstring language = langDot == std::wstring::npos ? base : base.substr(langDot + 1);
    subtitles.push_back(StreamInfo{kivm::ToUTF8Ex(language), "external file", "", kivm::ToUTF8Ex(relative)});
}

void LogTracks(const char* heading, const std::vector<StreamInfo>& tracks) {
    KIV_LOG(heading);
    for (const StreamInfo& s : tracks) {
        KIV_LOG("Stream ID: " + s.id + " Descr: " + s.descr + " TechDescr: " + s.techDescr + " Locale: " + s.locale);
    }
}

}  // namespace

uint32_t MetadataFactory::AwaitingProbes() { return g_awaiting; }

void ClearMetadataCache() {
    MetadataCache& cache = Cache();
    KivLock guard(*cache.lock);
    cache.entries.clear();
}

boost::shared_ptr<IMetadata> Metadata::GetInstance() { return GetInstance(Facts()); }

boost::shared_ptr<IMetadata> Metadata::GetInstance(const Facts& facts) {
    return boost::shared_ptr<IMetadata>(new Metadata(facts), KivDeleter::deleter());
}

void Metadata::GetPAR(int32_t& numerator, int32_t& denominator) {
    numerator = facts_.parNum;
    denominator = facts_.parDen;
}

void Metadata::GetDAR(int32_t& numerator, int32_t& denominator) {
    numerator = facts_.darNum;
    denominator = facts_.darDen;
}

boost::shared_ptr<IMetadataParser> MetadataParser::GetInstance() {
    return boost::shared_ptr<IMetadataParser>(new MetadataParser(), KivDeleter::deleter());
}

boost::shared_ptr<IMetadata> MetadataParser::ParseProcessOutput(KivProcess& process, const std::wstring& path) {
    const std::string text = process.ReadStderr(true);
    if (text.empty()) {
        KIV_LOG("metadata parse failed because stderr is empty");
        return boost::shared_ptr<IMetadata>();
    }
    return Parse(text, path);
}

bool MetadataParser::ParseText(const std::string& text, Metadata::Facts& facts, ParseNotes* notes) {
    const std::string input = InputSection(text);
    const bool haveDuration = ParseDuration(input, facts.duration);
    facts.bitrate = ParseBitrate(input);

    const std::vector<std::string> lines = Lines(input);
    const std::map<uint32_t, StreamLine> streams = FindStreams(lines);
    bool haveSize = false, haveAspect = false;
    // Stream numbers are tried from 0 upward; the first missing number ends the list.
    for (uint32_t n = 0;; ++n) {
        auto found = streams.find(n);
        if (found == streams.end()) break;
        const StreamLine& s = found->second;
        StreamInfo info{StreamTitle(lines, s.line), s.rest, StreamLocale(s.prefix), std::to_string(n)};
        if (s.kind == "Video") {
            if (facts.video.empty()) {
                haveSize = ParseSize(s.rest, facts.width, facts.height);
                haveAspect = ParseAspect(s.rest, facts);
            }
            facts.video.push_back(info);
        } else if (s.kind == "Audio") {
            facts.audio.push_back(info);
        } else if (s.kind == "Subtitle") {
            info.techDescr.clear();
            facts.subtitles.push_back(info);
        }
    }
    if (notes) {
        notes->aspectFound = haveAspect;
        notes->widthBeforePar = facts.width;
    }
    if (!haveAspect) {
        facts.parNum = facts.parDen = 1;
        facts.darNum = facts.width;
        facts.darDen = facts.height;
    } else if (facts.parNum > 0 && facts.parDen > 0) {
        // A PAR of n:0 (or 0:n) gives no usable ratio: the width stays as found.
        const float par = float(facts.parNum) / float(facts.parDen);
        facts.width = int32_t(float(facts.width) * par);
    }
    return haveDuration && haveSize;
}

boost::shared_ptr<IMetadata> MetadataParser::Parse(const std::string& text, const std::wstring& path) {
    KIV_LOG(text);
    Metadata::Facts facts;
    ParseNotes notes;
    const bool complete = ParseText(text, facts, &notes);
    KIV_LOG(notes.aspectFound ? "obtained PAR and DAR\n"
                              : "could not obtained PAR and DAR - using resolution to work it out\n");
    for (const std::wstring& suffix : {std::wstring(), std::wstring(L"/subtitles/"), std::wstring(L"/subs/")}) {
        SearchSubtitles(facts.subtitles, path, suffix);
    }
    LogTracks(" ---------- Video Streams Found:", facts.video);
    LogTracks(" ---------- Audio Streams Found:", facts.audio);
    LogTracks(" ---------- SubTitle Streams Found:", facts.subtitles);
    if (notes.aspectFound) {
        const double dar = facts.darDen ? double(float(facts.darNum) / float(facts.darDen)) : 0.0;
        const double par = facts.parDen ? double(float(facts.parNum) / float(facts.parDen)) : 0.0;
        KIV_LOG("adjusting video width = " + numstr::ToStr(double(notes.widthBeforePar), 0, 0, 5) + " DAR = " +
                numstr::ToStr(dar, 0, 0, 5) + " PAR = " + numstr::ToStr(par, 0, 0, 5));
        KIV_LOG("adjusted video new width = old width * PAR = " + std::to_string(facts.width));
    }
    if (!complete) return boost::shared_ptr<IMetadata>();
    return Metadata::GetInstance(facts);
}

void MetadataParser::SearchSubtitles(std::vector<StreamInfo>& subtitles, const std::wstring& videoPath,
                                     const std::wstring& suffix) {
    const size_t slash = videoPath.rfind(L'/');
    const std::wstring folder = slash == std::wstring::npos ? L"." : videoPath.substr(0, slash);
    const std::wstring name = slash == std::wstring::npos ? videoPath : videoPath.substr(slash + 1);
    const size_t dot = name.rfind(L'.');
    const std::wstring stem = dot == std::wstring::npos ? name + L"." : name.substr(0, dot + 1);
    const std::wstring listed = folder + suffix;
    KIV_LOG(" Searching for subtitles in " + kivm::ToUTF8Ex(listed));

    boost::shared_ptr<IKivFileFinder> finder = KivFileFinder::GetInstance();
    if (!finder) return;
    const std::set<std::wstring> extensions = MakeSubtitleExtensionSet();
    size_t count = 0;
    std::wstring first;
    bool firstAdded = false;
    for (boost::shared_ptr<IFileFindEntry> entry = finder->StartFileFind(listed); entry; entry = finder->ContinueFileFind()) {
        if (!entry->IsRegularFile()) continue;  // never a folder, named pipe or device
        const std::wstring file = entry->GetName();
        if (!IsSubtitleFile(file, extensions)) continue;
        const bool matches = file.find(stem) != std::wstring::npos;
        if (++count == 1) {
            first = file;
            firstAdded = matches;
        }
        if (matches) AddExternalSubtitle(subtitles, suffix + file);
    }
    // The only subtitle file of a folder belongs to the video whatever its name.
    if (count == 1 && !firstAdded) AddExternalSubtitle(subtitles, suffix + first);
}

boost::shared_ptr<IMetadataFactory> MetadataFactory::GetInstance() {
    return boost::shared_ptr<IMetadataFactory>(new MetadataFactory(), KivDeleter::deleter());
}

boost::shared_ptr<IMetadata> MetadataFactory::ParseProcess(KivProcess& process, const std::wstring& path) {
    const std::wstring key = kivm::standardize_path(path);
    boost::shared_ptr<IMetadata> result = MetadataParser::GetInstance()->ParseProcessOutput(process, key);
    if (result) CacheStore(key, result);
    return result;
}

boost::shared_ptr<IMetadata> MetadataFactory::GetMetadata(const std::wstring& path) {
    const std::wstring key = kivm::standardize_path(path);
    if (boost::shared_ptr<IMetadata> cached = CacheLookup(key)) return cached;
    // ffmpeg would wait in open for the writer of a named pipe: only regular files are probed.
    if (!kiv_is_regular_file(path)) {
        KIV_LOG("metaDataParser: not a regular file: " + kivm::str_conv(path));
        return boost::shared_ptr<IMetadata>();
    }
    for (;;) {
        std::shared_ptr<ProbeInFlight> probe;
        bool mine = false;
        if (boost::shared_ptr<IMetadata> cached = CacheLookupOrJoin(key, probe, mine)) return cached;
        if (mine) {
            bool ran = false;
            boost::shared_ptr<IMetadata> result;
            try {
                // Given up for an abandoned request only when no other request waits for its answer.
                result = Probe(path, ran, [&probe] { return MediaRunWatch::Abandoned() && !Awaited(*probe); });
            } catch (...) {
                // Those waiting must not wait for a probe that is gone: one of them takes it up.
                CacheEndProbe(key, result);
                PublishProbe(*probe, ProbeInFlight::GivenUp, result);
                throw;
            }
            CacheEndProbe(key, result);
            PublishProbe(*probe, ran ? ProbeInFlight::Done : ProbeInFlight::GivenUp, result);
            return result;
        }
        boost::shared_ptr<IMetadata> shared;
        const ProbeInFlight::Outcome outcome = AwaitProbe(*probe, shared);
        if (outcome == ProbeInFlight::Done) return shared;
        if (outcome == ProbeInFlight::Running || MediaRunSlot::GivenUp()) return boost::shared_ptr<IMetadata>();
        // The request that ran the probe was abandoned before its run ended: another that still waits
        // takes it up.
    }
}

boost::shared_ptr<IMetadata> MetadataFactory::Probe(const std::wstring& path, bool& ran,
                                                    const std::function<bool()>& abandoned) {
    ran = false;
    // Waiting for a free slot does not count toward the probe's own time limit.
    MediaRunSlot slot(abandoned);
    if (!slot.Held()) {
        KIV_LOG("metaDataParser: not probed, the server stops or the request was abandoned");
        return boost::shared_ptr<IMetadata>();
    }
    boost::shared_ptr<KivProcess> process = KivProcess::GetInstance();
    if (!process) {
        ran = true;
        return boost::shared_ptr<IMetadata>();
    }
    process->Start("ffmpeg.exe", {"-i", FfmpegLocalFile(path)}, true, false, true);
    // Wait drains both pipes meanwhile, so a long description cannot stall the probe.
    int code = -1;
    const int state = MediaRunSlot::Wait(*process, code, kProbeTimeoutMs, abandoned);
    if (state == MediaRunSlot::WAIT_STOPPED || state == MediaRunSlot::WAIT_ABANDONED) {
        KIV_LOG(std::string("metaDataParser: ffmpeg stopped, ") + MediaRunSlot::GivenUpReason(state));
        return boost::shared_ptr<IMetadata>();
    }
    ran = true;
    if (state != KivProcess::WAIT_ENDED) {
        KIV_LOG("metaDataParser: waiting for ffmpeg timed out");
        process->Stop(false, 1000);
        return boost::shared_ptr<IMetadata>();
    }
    if (code == 1) {
        const std::wstring key = kivm::standardize_path(path);
        return MetadataParser::GetInstance()->ParseProcessOutput(*process, key);
    }
    KIV_LOG("metaDataParser: ffmpeg returned an error exit code: " + std::to_string(code));
    KIV_LOG(process->ReadStderr(true));
    return boost::shared_ptr<IMetadata>();
}
