#include "network/UpnpRequest.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <sstream>

#include "core/Log.h"
#include "kivlib/KivProcess.h"

#undef KIV_LOG_SOURCE
#define KIV_LOG_SOURCE "Upnp"

namespace {

using Clock = std::chrono::steady_clock;

// The helper's answer is a few lines of at most a few hundred bytes each.
const size_t kMaxAnswerBytes = 4096;
// What the library says on standard error ("sendto: Network is unreachable") is kept up to this much.
const size_t kMaxComplaintBytes = 2048;
// How often the deadline and the stop are looked at while the helper runs.
const int kSliceMs = 20;

// Appends text to kept up to cap; false once something had to be left out.
bool Keep(std::string& kept, const std::string& text, size_t cap) {
    const size_t room = cap > kept.size() ? cap - kept.size() : 0;
    kept.append(text, 0, std::min(room, text.size()));
    return text.size() <= room;
}

std::vector<std::pair<std::string, std::string>> Lines(const std::string& answer) {
    std::vector<std::pair<std::string, std::string>> fields;
    std::istringstream in(answer);
    for (std::string line; std::getline(in, line);) {
        const size_t blank = line.find(' ');
        if (blank == std::string::npos || blank == 0) continue;
        fields.emplace_back(line.substr(0, blank), line.substr(blank + 1));
    }
    return fields;
}

void LogComplaints(const std::string& complaints, bool cut) {
    std::istringstream in(complaints);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) KIV_LOG("UPnP library: " + LogExcerpt(line));
    if (cut) KIV_LOG("UPnP library: (more on its standard error, not kept)");
}

}  // namespace

std::string UpnpReply::Field(const std::string& name) const {
    for (const auto& field : fields)
        if (field.first == name) return field.second;
    return std::string();
}

UpnpReply RunUpnpRequest(const std::vector<std::string>& arguments, uint32_t deadlineMs,
                         const std::atomic<bool>* stop, AtStop atStop) {
    UpnpReply reply;
    const std::string what = arguments.empty() ? std::string("request") : arguments[0];
    boost::shared_ptr<KivProcess> helper = KivProcess::GetInstance();
    if (!helper || !helper->Start("UpnpHelper", arguments, true, false, true)) {
        KIV_LOG("WARNING: the UPnP helper program could not be started for the " + what);
        return reply;
    }
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(deadlineMs);
    bool graceGiven = false;
    std::string answer, complaints;
    bool answerWhole = true, complaintsWhole = true;
    int exitCode = -1;
    for (;;) {
        // One look: the pipes are drained once (a bounded amount), whatever the helper writes.
        const int state = helper->Wait(exitCode, 0);
        answerWhole = Keep(answer, helper->ReadStdout(state == KivProcess::WAIT_ENDED), kMaxAnswerBytes) && answerWhole;
        complaintsWhole =
            Keep(complaints, helper->ReadStderr(state == KivProcess::WAIT_ENDED), kMaxComplaintBytes) && complaintsWhole;
        if (!answerWhole) {
            KIV_LOG("WARNING: the UPnP helper's answer to the " + what + " was too long");
            break;
        }
        if (state != KivProcess::WAIT_RUNNING) break;
        const Clock::time_point now = Clock::now();
        if (stop && *stop) {
            if (atStop == AtStop::End) {
                reply.outcome = UpnpReply::Stopped;
                KIV_LOG("The UPnP " + what + " was ended: the server is stopping");
                break;
            }
            if (!graceGiven) deadline = std::min(deadline, now + std::chrono::milliseconds(kUpnpStopGraceMs));
            graceGiven = true;
        }
        if (now >= deadline) {
            reply.outcome = UpnpReply::NoAnswer;
            KIV_LOG("NOTE: the UPnP " + what + " was ended after " +
                    std::to_string(graceGiven ? kUpnpStopGraceMs : deadlineMs) + " ms without an answer");
            break;
        }
        const int left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
        struct pollfd output = {helper->StdoutFd(), POLLIN, 0};
        poll(&output, output.fd >= 0 ? 1 : 0, std::min(kSliceMs, left));
    }
    helper->StopInBackground();  // no-op once it has ended
    LogComplaints(complaints, !complaintsWhole);
    if (reply.outcome != UpnpReply::Failed) return reply;
    reply.fields = Lines(answer);
    if (answerWhole && exitCode == 0 && !reply.fields.empty()) {
        reply.outcome = UpnpReply::Answered;
    } else if (answerWhole) {
        KIV_LOG("WARNING: the UPnP helper ended the " + what + " without an outcome (exit code " +
                std::to_string(exitCode) + ")");
    }
    if (reply.outcome != UpnpReply::Answered) reply.fields.clear();
    return reply;
}
