// Cuts an MPEG transport stream into numbered segments at video keyframes.
//
// The cutter works on 188-byte packets and never changes one: the input goes out byte for byte, split
// into segments. A segment starts at the first video keyframe whose presentation time lies at least one
// segment length (counted from the stream's first video frame) past the previous cut. Every segment
// begins with the stream's PAT and PMT: the tables that the multiplexer placed right before the keyframe
// when it did so, otherwise copies of the latest ones, which are then reported as injected bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tscut {

constexpr size_t kPacketSize = 188;
constexpr uint8_t kSyncByte = 0x47;
constexpr uint64_t kPtsHz = 90000;

// Where the segments go. Open(n + 1) is only ever called after Close() of segment n.
class ISegmentSink {
public:
    virtual ~ISegmentSink() = default;
    // Throws std::runtime_error when the segment cannot be made.
    virtual void Open(uint32_t number) = 0;
    virtual void Write(const uint8_t* bytes, size_t length) = 0;
    virtual void Close() = 0;
};

struct SegmentInfo {
    uint32_t number = 0;
    // Presentation time from this segment's first video frame to the next segment's (for the last
    // segment: to the end of its last frame).
    double seconds = 0;
    uint64_t bytes = 0;          // everything written into the segment, injected tables included
    uint64_t injectedBytes = 0;  // leading PAT/PMT copies that are not at this place in the input
    bool startsWithKeyframe = false;  // the first video frame of the segment is a keyframe
};

class TsCutter {
public:
    // segmentSeconds above 0; the first segment gets firstNumber, each later one the next number.
    TsCutter(ISegmentSink& sink, double segmentSeconds, uint32_t firstNumber);

    // Any amount of input; packets may be split anywhere between calls.
    void Feed(const uint8_t* bytes, size_t length);
    // The end of the input: held-back packets and a trailing partial packet go into the last segment,
    // which is then closed. Nothing is written after it.
    void Finish();

    // Every segment opened so far; all but the last are closed (the last too after Finish).
    const std::vector<SegmentInfo>& Segments() const { return segments_; }
    uint64_t BytesIn() const { return bytesIn_; }

private:
    struct Section {
        std::vector<uint8_t> data;
        bool collecting = false;
    };

    void ProcessPacket(const uint8_t* packet);
    void ProcessTablePacket(const uint8_t* packet, uint16_t pid, bool unitStart);
    void CollectSection(Section& section, const uint8_t* packet, bool unitStart);
    void ParsePat(const std::vector<uint8_t>& section);
    void ParsePmt(const std::vector<uint8_t>& section);
    bool IsTablePid(uint16_t pid) const;
    bool IsKeyframeStart(const uint8_t* packet, size_t payloadOffset) const;
    bool StartsCut(uint64_t pts) const;
    void NoteVideoPts(uint64_t pts);
    uint64_t Unwrap(uint64_t rawPts);
    size_t FindTableStart() const;
    void BeginSegment();
    void OpenFirstSegment();
    void CutAt(uint64_t cutPts);
    void CloseSegment(bool haveEndPts, uint64_t endPts);
    void WritePending(size_t from, size_t to);
    void WriteOut(const uint8_t* bytes, size_t length);
    void WriteTableCopies();

    ISegmentSink& sink_;
    uint64_t segmentTicks_;
    uint32_t nextNumber_;

    std::vector<uint8_t> input_;   // bytes not yet taken as packets
    std::vector<uint8_t> pending_;  // table packets held back until the next media packet
    std::vector<uint16_t> pendingPids_;

    int32_t pmtPid_ = -1;
    int32_t cutPid_ = -1;
    uint8_t cutStreamType_ = 0;
    bool cutPidIsVideo_ = false;
    Section patSection_;
    Section pmtSection_;
    std::vector<uint8_t> patCopy_;  // the packets of the latest complete PAT and PMT
    std::vector<uint8_t> pmtCopy_;
    std::vector<uint8_t> patBuilding_;
    std::vector<uint8_t> pmtBuilding_;

    bool open_ = false;
    bool finished_ = false;
    bool haveBase_ = false;
    uint64_t basePts_ = 0;
    bool haveSegmentStart_ = false;
    uint64_t segmentStartPts_ = 0;
    bool haveLastPts_ = false;
    uint64_t lastPts_ = 0;
    uint64_t frameTicks_ = 0;
    bool haveRawPts_ = false;
    uint64_t lastRawPts_ = 0;
    uint64_t wrapTicks_ = 0;
    bool sawFirstVideoFrame_ = false;

    std::vector<SegmentInfo> segments_;
    uint64_t bytesIn_ = 0;
};

// The playlist of the segments so far: names are urlBase + fileStem + "-" + number + ".ts"; ended adds
// the end tag.
std::string BuildPlaylist(const std::vector<SegmentInfo>& segments, double segmentSeconds,
                          const std::string& urlBase, const std::string& fileStem, bool ended);

}  // namespace tscut
