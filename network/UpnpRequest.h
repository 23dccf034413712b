// One request of the UPnP library (a discovery, a mapping, a deletion), run in our UpnpHelper program
// (tools/upnphelper): whatever a device on the network answers, the program's own memory cap bounds what
// it holds, the deadline ends it, and so does the server's stop. Its answer comes back over a pipe.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct UpnpReply {
    enum Outcome {
        Answered,   // the helper ran the request and printed its outcome
        NoAnswer,   // the deadline came first
        Stopped,    // the server is stopping
        Failed,     // the helper could not start, or ended without an outcome
    };
    Outcome outcome = Failed;
    // The helper's "NAME VALUE" lines; values from the router are in its escaped form (printable ASCII).
    std::vector<std::pair<std::string, std::string>> fields;

    // The value of the first line of that name; empty when there is none.
    std::string Field(const std::string& name) const;
};

// What a stop does to a request in progress.
enum class AtStop {
    End,      // ends it at once (discovery, mapping; an add the router made just before is then unknown here)
    Shorten,  // leaves it at most kUpnpStopGraceMs more (a deletion, so the router is left clean)
};
constexpr uint32_t kUpnpStopGraceMs = 1000;

// Runs "UpnpHelper ARGUMENTS" for at most deadlineMs; stop may be null. The helper's standard error
// (the library's own complaints) goes to the log, escaped and cut, never to the server's terminal.
// The reason of every outcome but Answered is logged.
UpnpReply RunUpnpRequest(const std::vector<std::string>& arguments, uint32_t deadlineMs,
                         const std::atomic<bool>* stop, AtStop atStop);

