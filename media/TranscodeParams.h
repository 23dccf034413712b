// What a transcoding run is asked to do, and the ffmpeg argument list that does it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

class KivProcess;
class IBlockingStream;

struct TranscodeParams {
    std::wstring InputPath;   // the source video (not used when the source comes on standard input)
    std::wstring OutputPath;  // the output file (conversions only)
    std::wstring ClientIdentifier;
    int32_t Width = 320;
    int32_t Height = 240;
    uint32_t TargetBitrate = 1200;  // kb/s; also selects the streaming audio bitrate
    int32_t BitrateTolerance = 1300;
    int32_t StartSeconds = 0;
    int32_t VideoIndex = -1;  // -1: not given
    int32_t AudioIndex = -1;
    int32_t SubtitleIndex = -1;
    double Aspect = 0;  // width / height; 0.01 or less leaves the aspect to ffmpeg
    int32_t Threads = 0;
    bool PlayWithoutConversion = false;
};

enum TranscodeMode {
    TranscodeToStdout = 0,       // source file in, MPEG transport stream out on standard output
    TranscodeFromStdinMode = 1,  // source on standard input, QuickTime file out
    TranscodeFileToFileMode = 2  // source file in, QuickTime file out
};

// The output frame rate: the source's own up to 30 frames a second (an unknown rate counts as faster),
// 29.97 above that.
constexpr const wchar_t* kFrameRateFilter = L"fps='if(gt(source_fps,0)*lte(source_fps,30),source_fps,30000/1001)'";

// Seconds between forced keyframes of a stream run: the segment length, so every segment can start with one.
constexpr int kKeyframeSeconds = 5;

// A path as an ffmpeg argument that can only ever name a local file: "file:" and the absolute path, so a
// name that begins with "-" or looks like "http:" or "concat:" is never taken for an option or protocol.
std::string FfmpegLocalFile(const std::wstring& path);

// "64k", "96k", "128k" or "196k" for the video target bitrate of a stream run.
std::string StreamingAudioBitrate(uint32_t targetBitrate);

// Appends the whole list, element 0 "ffmpeg.exe", and logs it.
void BuildFfmpegArgs(std::vector<std::wstring>& args, const TranscodeParams& params, TranscodeMode mode);

// Moves ffmpeg's standard-error text into stream: what the pipe holds now, or with readAll everything up
// to the end. Never throws.
void CopyProcessStderr(KivProcess& process, IBlockingStream& stream, bool readAll);

// Ends a file-to-file run's log: the rest of standard error goes in; a failed run's log is copied into
// the main log; the log is released (log becomes empty) and its file deleted. True when it was deleted.
bool FinishStderrLog(KivProcess& process, boost::shared_ptr<IBlockingStream>& log, const std::wstring& logPath, bool failed);
