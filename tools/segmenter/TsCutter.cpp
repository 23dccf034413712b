#include "TsCutter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace tscut {

namespace {

constexpr uint64_t kPtsRange = uint64_t(1) << 33;
constexpr size_t kNoSplit = static_cast<size_t>(-1);
// A run of table packets longer than this is not waiting for a keyframe: it goes out as it is.
constexpr size_t kMaxPendingPackets = 64;

uint16_t PacketPid(const uint8_t* packet) { return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]); }
bool UnitStart(const uint8_t* packet) { return (packet[1] & 0x40) != 0; }
bool HasPayload(const uint8_t* packet) { return (packet[3] & 0x10) != 0; }
bool HasAdaptation(const uint8_t* packet) { return (packet[3] & 0x20) != 0; }

// Offset of the payload in the packet; kPacketSize when there is none.
size_t PayloadOffset(const uint8_t* packet) {
    if (!HasPayload(packet)) return kPacketSize;
    size_t offset = 4;
    if (HasAdaptation(packet)) offset += 1 + size_t(packet[4]);
    return std::min(offset, kPacketSize);
}

bool RandomAccess(const uint8_t* packet) { return HasAdaptation(packet) && packet[4] > 0 && (packet[5] & 0x40) != 0; }

bool IsVideoStreamType(uint8_t type) {
    switch (type) {
        case 0x01:  // MPEG-1 video
        case 0x02:  // MPEG-2 video
        case 0x10:  // MPEG-4 part 2
        case 0x1B:  // H.264
        case 0x24:  // HEVC
        case 0x42:  // AVS
        case 0xD1:  // Dirac
        case 0xEA:  // VC-1
            return true;
        default:
            return false;
    }
}

// PES stream ids whose header has no optional fields (so no time stamps).
bool PesHasOptionalHeader(uint8_t streamId) {
    switch (streamId) {
        case 0xBC: case 0xBE: case 0xBF: case 0xF0: case 0xF1: case 0xF2: case 0xF8: case 0xFF:
            return false;
        default:
            return true;
    }
}

// The PTS of a PES that begins at offset in the packet; false when it has none.
bool ReadPts(const uint8_t* packet, size_t offset, uint64_t& pts) {
    if (offset + 14 > kPacketSize) return false;
    const uint8_t* pes = packet + offset;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || !PesHasOptionalHeader(pes[3])) return false;
    if ((pes[7] & 0x80) == 0) return false;
    const uint8_t* t = pes + 9;
    pts = (uint64_t((t[0] >> 1) & 0x07) << 30) | (uint64_t(t[1]) << 22) | (uint64_t(t[2] >> 1) << 15) |
          (uint64_t(t[3]) << 7) | uint64_t(t[4] >> 1);
    return true;
}

std::string MillisText(double seconds) {
    if (!(seconds > 0)) seconds = 0;
    const uint64_t ms = static_cast<uint64_t>(std::llround(seconds * 1000.0));
    std::string fraction = std::to_string(ms % 1000);
    fraction.insert(0, 3 - fraction.size(), '0');
    return std::to_string(ms / 1000) + "." + fraction;
}

}  // namespace

TsCutter::TsCutter(ISegmentSink& sink, double segmentSeconds, uint32_t firstNumber)
    : sink_(sink),
      segmentTicks_(static_cast<uint64_t>(std::llround(std::max(segmentSeconds, 0.001) * kPtsHz))),
      nextNumber_(firstNumber) {}

void TsCutter::Feed(const uint8_t* bytes, size_t length) {
    if (finished_ || length == 0) return;
    bytesIn_ += length;
    input_.insert(input_.end(), bytes, bytes + length);
    size_t pos = 0;
    while (input_.size() - pos >= kPacketSize) {
        if (input_[pos] == kSyncByte) {
            ProcessPacket(&input_[pos]);
            pos += kPacketSize;
            continue;
        }
        // Out of step: pass the bytes up to the next place that looks like a packet start through as they are.
        size_t next = pos + 1;
        while (next < input_.size() &&
               !(input_[next] == kSyncByte && (next + kPacketSize >= input_.size() || input_[next + kPacketSize] == kSyncByte))) {
            ++next;
        }
        if (!open_) OpenFirstSegment();
        WritePending(0, pendingPids_.size());
        WriteOut(&input_[pos], next - pos);
        pos = next;
    }
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void TsCutter::Finish() {
    if (finished_) return;
    finished_ = true;
    if (!open_ && (pendingPids_.empty() && input_.empty())) return;
    if (!open_) OpenFirstSegment();
    WritePending(0, pendingPids_.size());
    if (!input_.empty()) WriteOut(input_.data(), input_.size());
    input_.clear();
    CloseSegment(haveLastPts_, lastPts_ + frameTicks_);
}

bool TsCutter::IsTablePid(uint16_t pid) const {
    return pid < 0x20 || (pmtPid_ >= 0 && pid == static_cast<uint16_t>(pmtPid_));
}

void TsCutter::ProcessPacket(const uint8_t* packet) {
    const uint16_t pid = PacketPid(packet);
    const bool unitStart = UnitStart(packet);
    if (IsTablePid(pid)) {
        ProcessTablePacket(packet, pid, unitStart);
        pending_.insert(pending_.end(), packet, packet + kPacketSize);
        pendingPids_.push_back(pid);
        if (open_ && pendingPids_.size() > kMaxPendingPackets) WritePending(0, pendingPids_.size());
        return;
    }

    const size_t payload = PayloadOffset(packet);
    const bool cutPidStart = cutPid_ >= 0 && pid == static_cast<uint16_t>(cutPid_) && unitStart && payload < kPacketSize;
    uint64_t pts = 0;
    const bool havePts = cutPidStart && ReadPts(packet, payload, pts);
    if (havePts) pts = Unwrap(pts);
    const bool key = cutPidStart && (!cutPidIsVideo_ || IsKeyframeStart(packet, payload));

    if (!open_) {
        OpenFirstSegment();
    } else if (key && havePts && StartsCut(pts)) {
        CutAt(pts);
    } else {
        WritePending(0, pendingPids_.size());
    }
    if (havePts) {
        if (!haveBase_) {
            haveBase_ = true;
            basePts_ = pts;
        }
        if (!haveSegmentStart_) {
            haveSegmentStart_ = true;
            segmentStartPts_ = pts;
            segments_.back().startsWithKeyframe = key;
        }
        NoteVideoPts(pts);
    }
    WriteOut(packet, kPacketSize);
}

void TsCutter::ProcessTablePacket(const uint8_t* packet, uint16_t pid, bool unitStart) {
    if (pid == 0) {
        if (unitStart) patBuilding_.clear();
        patBuilding_.insert(patBuilding_.end(), packet, packet + kPacketSize);
        CollectSection(patSection_, packet, unitStart);
        if (patSection_.collecting) return;
        if (!patSection_.data.empty()) {
            patCopy_ = patBuilding_;
            ParsePat(patSection_.data);
            patSection_.data.clear();
        }
    } else if (pmtPid_ >= 0 && pid == static_cast<uint16_t>(pmtPid_)) {
        if (unitStart) pmtBuilding_.clear();
        pmtBuilding_.insert(pmtBuilding_.end(), packet, packet + kPacketSize);
        CollectSection(pmtSection_, packet, unitStart);
        if (pmtSection_.collecting) return;
        if (!pmtSection_.data.empty()) {
            pmtCopy_ = pmtBuilding_;
            ParsePmt(pmtSection_.data);
            pmtSection_.data.clear();
        }
    }
}

// Gathers one PSI section; when complete, section.data holds it and collecting is false.
void TsCutter::CollectSection(Section& section, const uint8_t* packet, bool unitStart) {
    size_t offset = PayloadOffset(packet);
    if (offset >= kPacketSize) return;
    if (unitStart) {
        const size_t pointer = packet[offset];
        offset += 1 + pointer;
        if (offset >= kPacketSize) {
            section = Section();
            return;
        }
        section.data.assign(packet + offset, packet + kPacketSize);
        section.collecting = true;
    } else if (section.collecting) {
        section.data.insert(section.data.end(), packet + offset, packet + kPacketSize);
    } else {
        return;
    }
    if (section.data.size() < 3) return;
    const size_t length = 3 + ((size_t(section.data[1] & 0x0F) << 8) | section.data[2]);
    if (section.data.size() >= length) {
        section.data.resize(length);
        section.collecting = false;
    }
}

void TsCutter::ParsePat(const std::vector<uint8_t>& s) {
    if (s.size() < 12 || s[0] != 0x00) return;
    for (size_t i = 8; i + 4 <= s.size() - 4; i += 4) {
        const uint16_t program = static_cast<uint16_t>((s[i] << 8) | s[i + 1]);
        const int32_t pid = ((s[i + 2] & 0x1F) << 8) | s[i + 3];
        if (program == 0) continue;  // network PID
        if (pid != pmtPid_) {
            pmtPid_ = pid;
            cutPid_ = -1;
            pmtSection_ = Section();
            pmtCopy_.clear();
        }
        return;
    }
}

void TsCutter::ParsePmt(const std::vector<uint8_t>& s) {
    if (s.size() < 16 || s[0] != 0x02) return;
    const size_t infoLength = (size_t(s[10] & 0x0F) << 8) | s[11];
    int32_t first = -1, video = -1;
    uint8_t firstType = 0, videoType = 0;
    for (size_t i = 12 + infoLength; i + 5 <= s.size() - 4;) {
        const uint8_t type = s[i];
        const int32_t pid = ((s[i + 1] & 0x1F) << 8) | s[i + 2];
        const size_t esInfo = (size_t(s[i + 3] & 0x0F) << 8) | s[i + 4];
        if (first < 0) {
            first = pid;
            firstType = type;
        }
        if (video < 0 && IsVideoStreamType(type)) {
            video = pid;
            videoType = type;
        }
        i += 5 + esInfo;
    }
    // With no video, any stream's access units are places to cut.
    cutPidIsVideo_ = video >= 0;
    cutPid_ = video >= 0 ? video : first;
    cutStreamType_ = video >= 0 ? videoType : firstType;
}

bool TsCutter::IsKeyframeStart(const uint8_t* packet, size_t payloadOffset) const {
    if (RandomAccess(packet)) return true;
    // No random-access flag: look for the start codes of a key picture in this packet's part of the frame.
    const uint8_t* pes = packet + payloadOffset;
    const size_t room = kPacketSize - payloadOffset;
    if (room < 9) return false;
    size_t start = 9 + size_t(pes[8]);
    for (size_t i = start; i + 3 < room; ++i) {
        if (pes[i] != 0 || pes[i + 1] != 0 || pes[i + 2] != 1) continue;
        const uint8_t code = pes[i + 3];
        switch (cutStreamType_) {
            case 0x1B: {
                const int nal = code & 0x1F;
                if (nal == 5 || nal == 7) return true;  // IDR slice, or the parameter sets that precede one
                break;
            }
            case 0x24: {
                const int nal = (code >> 1) & 0x3F;
                if ((nal >= 16 && nal <= 21) || (nal >= 32 && nal <= 34)) return true;
                break;
            }
            case 0x01:
            case 0x02:
                if (code == 0xB3 || code == 0xB8) return true;  // sequence header or group of pictures
                break;
            default:
                break;
        }
    }
    return false;
}

bool TsCutter::StartsCut(uint64_t pts) const {
    if (!haveBase_ || !haveSegmentStart_ || pts < basePts_ || pts < segmentStartPts_) return false;
    // Absolute targets keep segment boundaries from drifting; a little slack takes a keyframe that sits a
    // hair before the grid (the first frame came late), and half a segment at least keeps a late cut from
    // leaving a sliver. Without video every audio frame is a place to cut, and no slack is needed.
    const uint64_t slack = cutPidIsVideo_ ? std::min<uint64_t>(kPtsHz / 10, segmentTicks_ / 10) : 0;
    const uint64_t target = basePts_ + segments_.size() * segmentTicks_;
    return pts + slack >= target && pts - segmentStartPts_ >= segmentTicks_ / 2;
}

void TsCutter::NoteVideoPts(uint64_t pts) {
    if (haveLastPts_ && pts > lastPts_ && pts - lastPts_ < kPtsHz) frameTicks_ = pts - lastPts_;
    if (!haveLastPts_ || pts > lastPts_) lastPts_ = pts;
    haveLastPts_ = true;
}

uint64_t TsCutter::Unwrap(uint64_t raw) {
    if (!haveRawPts_) {
        haveRawPts_ = true;
        lastRawPts_ = raw;
        return raw;
    }
    const uint64_t half = kPtsRange / 2;
    if (raw + half < lastRawPts_) {
        wrapTicks_ += kPtsRange;  // the clock went round
    } else if (raw > lastRawPts_ + half && wrapTicks_ >= kPtsRange) {
        return raw + wrapTicks_ - kPtsRange;  // a late frame from before the wrap
    }
    lastRawPts_ = raw;
    return raw + wrapTicks_;
}

// Index of the held-back packet where a PAT directly followed by the PMT begins; kNoSplit when none.
size_t TsCutter::FindTableStart() const {
    if (pmtPid_ < 0) return kNoSplit;
    for (size_t i = 0; i + 1 < pendingPids_.size(); ++i) {
        if (pendingPids_[i] == 0 && pendingPids_[i + 1] == static_cast<uint16_t>(pmtPid_) &&
            UnitStart(&pending_[i * kPacketSize])) {
            return i;
        }
    }
    return kNoSplit;
}

void TsCutter::BeginSegment() {
    SegmentInfo info;
    info.number = nextNumber_++;
    segments_.push_back(info);
    sink_.Open(info.number);
    open_ = true;
    haveSegmentStart_ = false;
}

void TsCutter::OpenFirstSegment() {
    // The stream's own start rarely begins with the PAT (the SDT comes first): lead with copies then.
    const size_t split = FindTableStart();
    BeginSegment();
    if (split != 0) WriteTableCopies();
    WritePending(0, pendingPids_.size());
}

void TsCutter::CutAt(uint64_t cutPts) {
    // The tables that the multiplexer put before the keyframe start the new segment; what precedes
    // them in the held-back run ends the old one. With no tables there, copies lead the new segment.
    const size_t split = FindTableStart();
    if (split != kNoSplit) WritePending(0, split);
    CloseSegment(true, cutPts);
    BeginSegment();
    if (split == kNoSplit) WriteTableCopies();
    WritePending(0, pendingPids_.size());
}

void TsCutter::CloseSegment(bool haveEndPts, uint64_t endPts) {
    if (!open_) return;
    SegmentInfo& info = segments_.back();
    if (haveSegmentStart_ && haveEndPts && endPts > segmentStartPts_) {
        info.seconds = double(endPts - segmentStartPts_) / double(kPtsHz);
    }
    open_ = false;
    sink_.Close();
}

// Writes held-back packets [from, to) and forgets every held-back packet before to.
void TsCutter::WritePending(size_t from, size_t to) {
    if (to > from) WriteOut(&pending_[from * kPacketSize], (to - from) * kPacketSize);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(to * kPacketSize));
    pendingPids_.erase(pendingPids_.begin(), pendingPids_.begin() + static_cast<std::ptrdiff_t>(to));
}

void TsCutter::WriteOut(const uint8_t* bytes, size_t length) {
    if (length == 0) return;
    sink_.Write(bytes, length);
    segments_.back().bytes += length;
}

void TsCutter::WriteTableCopies() {
    if (patCopy_.empty() || pmtCopy_.empty()) return;
    WriteOut(patCopy_.data(), patCopy_.size());
    WriteOut(pmtCopy_.data(), pmtCopy_.size());
    segments_.back().injectedBytes += patCopy_.size() + pmtCopy_.size();
}

std::string BuildPlaylist(const std::vector<SegmentInfo>& segments, double segmentSeconds,
                          const std::string& urlBase, const std::string& fileStem, bool ended) {
    // Every segment's length rounded to the nearest second must not exceed the target duration.
    double longest = segmentSeconds;
    for (const SegmentInfo& s : segments) longest = std::max(longest, s.seconds);
    const long long target = std::max(1LL, std::llround(longest));
    std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n";
    text += "#EXT-X-TARGETDURATION:" + std::to_string(target) + "\n";
    text += "#EXT-X-MEDIA-SEQUENCE:" + std::to_string(segments.empty() ? 0 : segments.front().number) + "\n";
    for (const SegmentInfo& s : segments) {
        text += "#EXTINF:" + MillisText(s.seconds) + ",\n";
        text += urlBase + fileStem + "-" + std::to_string(s.number) + ".ts\n";
    }
    if (ended) text += "#EXT-X-ENDLIST\n";
    return text;
}

}  // namespace tscut
