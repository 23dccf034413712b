// Runs "Segmenter.exe" (the program in tools/segmenter) with the transcoder's output on its input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"
#include "media/ISegmenter.h"

class KivProcess;

class Segmenter final : public ISegmenter, public KivDeleter {
public:
    static boost::shared_ptr<ISegmenter> GetInstance(uint32_t segmentSeconds, const std::wstring& prefix,
                                                     const std::wstring& playlist, const std::wstring& urlBase,
                                                     uint32_t firstNumber, int input = -1);

    int Send(const void* bytes, size_t length) override;
    bool TakeClosed(uint32_t& closedCount, std::string& why) override;
    bool Finish(uint32_t ms, uint32_t& closedCount, std::string& why) override;
    void BeginStop() override;
    int ReportFd() override;
    int InputFd() override;
    void AllowUpTo(uint32_t closedCount) override;
    void Destroy() override { delete this; }

    // Counts the "closed <n>" lines of the program's report in text (partial lines are kept for the next
    // call); exposed for tests.
    static uint32_t CountClosedLines(std::string& pending, const std::string& text);

    // The argument list after the program name, as the segmenter program takes it.
    static std::vector<std::string> Arguments(uint32_t segmentSeconds, const std::wstring& prefix,
                                              const std::wstring& playlist, const std::wstring& urlBase,
                                              uint32_t firstNumber);

private:
    Segmenter();
    ~Segmenter();
    bool Start(uint32_t segmentSeconds, const std::wstring& prefix, const std::wstring& playlist,
               const std::wstring& urlBase, uint32_t firstNumber, int input);
    void EndCredits();

    std::wstring prefix_;
    std::wstring playlist_;
    std::wstring urlBase_;
    boost::shared_ptr<KivProcess> process_;
    uint32_t closed_ = 0;
    std::string pendingReport_;
    bool readsTranscoder_ = false;  // its input is the transcoder's output pipe, not ours
    int credits_ = -1;              // our end of the socket that paces it then
    uint32_t creditsGiven_ = 0;     // one for each file after the first that the program may write
};

class SegmenterFactory final : public ISegmenterFactory, public KivDeleter {
public:
    static boost::shared_ptr<ISegmenterFactory> GetInstance();

    boost::shared_ptr<ISegmenter> CreateSegmenter(uint32_t segmentSeconds, const std::wstring& prefix,
                                                  const std::wstring& playlist, const std::wstring& urlBase,
                                                  uint32_t firstNumber) override;
    boost::shared_ptr<ISegmenter> CreateSegmenterReading(int input, uint32_t segmentSeconds, const std::wstring& prefix,
                                                         const std::wstring& playlist, const std::wstring& urlBase,
                                                         uint32_t firstNumber) override;
    void Destroy() override { delete this; }

private:
    SegmenterFactory() = default;
    ~SegmenterFactory() = default;
};
