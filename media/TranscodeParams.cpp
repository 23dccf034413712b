#include "media/TranscodeParams.h"

#include <unistd.h>

#include <cstring>
#include <exception>

#include "core/Log.h"
#include "kivlib/KivFileStream.h"
#include "kivlib/KivProcess.h"
#include "kivlib/kiv_fs.h"
#include "kivlib/kiv_text.h"

// Log entries name the component, the transcoders, whichever of its files writes them.
#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "Transcode"

namespace {

std::wstring W(const std::string& text) { return kivm::str_conv(text); }
std::wstring U(uint32_t value) { return W(numstr::ToStr(value)); }
std::wstring S(int32_t value) { return W(numstr::ToStr(value)); }

// libx264 with 4:2:0 pictures needs even sizes; the smallest is 2.
uint32_t EvenSize(int32_t value) {
    if (value < 2) return 2;
    return uint32_t(value) & ~uint32_t(1);
}

}  // namespace

std::string FfmpegLocalFile(const std::wstring& path) {
    std::string narrow = kivm::str_conv(path);
    if (narrow.empty() || narrow[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof(cwd))) narrow = std::string(cwd) + "/" + narrow;
    }
    return "file:" + narrow;
}

std::string StreamingAudioBitrate(uint32_t targetBitrate) {
    if (targetBitrate <= 128) return "64k";
    if (targetBitrate <= 256) return "96k";
    if (targetBitrate <= 512) return "128k";
    return "196k";
}

void BuildFfmpegArgs(std::vector<std::wstring>& args, const TranscodeParams& params, TranscodeMode mode) {
    const std::wstring bitrate = U(params.TargetBitrate) + L"k";
    const size_t first = args.size();
    args.push_back(L"ffmpeg.exe");
    // Input options stand before "-i" (a seek there is fast and exact), output options after it.
    if (params.StartSeconds != 0) {
        args.insert(args.end(), {L"-ss", U(uint32_t(params.StartSeconds))});
    }
    args.push_back(L"-i");
    args.push_back(mode == TranscodeFromStdinMode ? std::wstring(L"-") : W(FfmpegLocalFile(params.InputPath)));
    args.insert(args.end(), {L"-me_range", L"-16", L"-qdiff", L"4", L"-qmin", L"10", L"-qmax", L"51",
                             L"-qcomp", L"0.6", L"-trellis", L"0", L"-sc_threshold", L"40", L"-subq", L"5",
                             L"-partitions", L"+parti4x4+parti8x8+partp8x8", L"-cmp", L"+chroma",
                             L"-deblock", L"0:0", L"-keyint_min", L"25", L"-b_strategy", L"0", L"-bf", L"0",
                             L"-flags", L"+loop", L"-flags2", L"+fast",
                             L"-maxrate", bitrate, L"-bufsize", L"512k", L"-wpredp", L"0",
                             L"-b:v", bitrate, L"-bt", bitrate, L"-async", L"2"});
    args.insert(args.end(), {L"-vcodec", L"libx264", L"-ac", L"2"});
    if (params.VideoIndex >= 0 && params.AudioIndex >= 0) {
        args.insert(args.end(), {L"-map", L"0:" + S(params.VideoIndex), L"-map", L"0:" + S(params.AudioIndex)});
    } else {
        KIV_LOG("Video & Audio Streams not specified to transcoder - not telling ffmpeg what to map");
    }
    // A source of up to 30 frames a second keeps its own rate (a 25 fps film put on a 29.97 grid judders);
    // a faster one is brought down to 29.97. The H.264 level is left to the encoder, which derives it from
    // the picture size and this rate.
    args.insert(args.end(), {L"-vf", kFrameRateFilter});
    if (mode == TranscodeToStdout) {
        args.insert(args.end(), {L"-ar", L"44100", L"-b:a", W(StreamingAudioBitrate(params.TargetBitrate)),
                                 L"-acodec", L"libmp3lame", L"-f", L"mpegts"});
    } else {
        args.insert(args.end(), {L"-acodec", L"libmp3lame", L"-ar", L"44100", L"-b:a", L"196k", L"-f", L"mov"});
    }
    args.insert(args.end(), {L"-s", U(EvenSize(params.Width)) + L"x" + U(EvenSize(params.Height))});
    if (params.Aspect > 0.01) args.insert(args.end(), {L"-aspect", W(numstr::ToStr(params.Aspect, 0, 0, 5))});
    args.insert(args.end(), {L"-threads", U(uint32_t(params.Threads))});
    // Pictures every player decodes; for a stream, a keyframe at every segment start and, after a seek,
    // time stamps that go on from the seek point, so a restarted run continues the playlist's timeline.
    args.insert(args.end(), {L"-pix_fmt", L"yuv420p"});
    if (mode == TranscodeToStdout) {
        args.insert(args.end(), {L"-force_key_frames", L"expr:gte(t,n_forced*" + S(kKeyframeSeconds) + L")"});
        if (params.StartSeconds != 0) {
            args.insert(args.end(), {L"-output_ts_offset", U(uint32_t(params.StartSeconds))});
        }
    }
    args.push_back(mode == TranscodeToStdout ? std::wstring(L"-") : W(FfmpegLocalFile(params.OutputPath)));

    std::string line = "FFMPEG Command Line [";
    for (size_t i = first; i < args.size(); ++i) line += kivm::str_conv(args[i]) + " ";
    KIV_LOG(line + "]");
}

void CopyProcessStderr(KivProcess& process, IBlockingStream& stream, bool readAll) {
    try {
        const std::string text = process.ReadStderr(readAll);
        if (!text.empty()) stream.Write(text.data(), text.size());
    } catch (const std::exception& error) {
        KIV_LOG(std::string("Unexpected exception reading stderr from process: ") + error.what());
    }
}

bool FinishStderrLog(KivProcess& process, boost::shared_ptr<IBlockingStream>& log, const std::wstring& logPath, bool failed) {
    if (log) CopyProcessStderr(process, *log, true);
    if (failed) {
        log.reset();  // closes the file
        boost::shared_ptr<IBlockingStream> in = KivFileStream::GetInstance(logPath, OPEN_READ);
        if (in) {
            KIV_LOG("The contents of ffmpeg's stderr output were:");
            // The log checks what it is given is UTF-8: a character cut by the block's end goes with the next block.
            char block[4096 + 3];
            size_t carried = 0;
            for (;;) {
                size_t n = 0;
                try {
                    n = in->Read(block + carried, 4096);
                } catch (const std::exception& error) {
                    KIV_LOG(std::string("Unexpected exception reading stderr from process: ") + error.what());
                    break;
                }
                const size_t held = carried + n;
                const bool last = n < 4096;
                const size_t whole = last ? held : kivm::Utf8WholePrefix(block, held);
                GetLog()->LogBuffer(block, whole);
                carried = held - whole;
                std::memmove(block, block + whole, carried);
                if (last) break;
            }
        } else {
            KIV_LOG("Unable to re-open stderrr log file to move it into the main log file");
        }
    }
    log.reset();
    return kiv_delete(logPath);
}
