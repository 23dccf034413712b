// The media runs of ffmpeg on request threads (thumbnail grabs, subtitle extractions, probes) that may
// go at once: one per core, so a burst of requests cannot start dozens of decoders that all miss their
// time limit. The others wait for a free slot in the order they came; the wait does not count toward a
// run's own time limit. At stop every waiting run leaves the queue and every running one is killed; a
// run on behalf of a request that nobody waits for any more (see MediaRunWatch) leaves too: from the
// queue, or, once running, killed within a second so that its slot goes to the next.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class KivProcess;

class MediaRunSlot {
public:
    // Blocks until a slot is free and takes it, or until the wait is given up (Held is then false): the
    // runs were stopped, or the thread's request was abandoned. A thread that holds a slot already
    // shares it (it runs one program at a time), so nested runs never wait for themselves. A thread
    // that serves no request (the worker) goes before the waiting requests: its loop must not wait for
    // a flood of thumbnails. abandoned, when given, is asked in place of the thread's MediaRunWatch.
    explicit MediaRunSlot(const std::function<bool()>& abandoned = {});
    // Gives the slot back to the next in the queue.
    ~MediaRunSlot();
    MediaRunSlot(const MediaRunSlot&) = delete;
    MediaRunSlot& operator=(const MediaRunSlot&) = delete;

    bool Held() const { return held_; }

    // What Wait answers for a run ended by the stop, and for one whose request was abandoned (besides
    // KivProcess's results).
    static const int WAIT_STOPPED = 3;
    static const int WAIT_ABANDONED = 4;
    // KivProcess::Wait up to ms, in short steps: once the runs are stopped the process is killed and
    // reaped, and the answer is WAIT_STOPPED; once abandoned answers true (asked every
    // MediaRunWatch::kAskEveryMs; empty asks the thread's MediaRunWatch), the same with WAIT_ABANDONED.
    static int Wait(KivProcess& process, int& exitCode, uint32_t ms, const std::function<bool()>& abandoned = {});
    // Why a run was given up, for the log: "the server stops" or "its client has gone".
    static const char* GivenUpReason(int state);
    // Whether a media run of this thread that came back empty-handed may have been given up rather than
    // failed: the runs are stopped, or the thread's request was abandoned. The caller then says so
    // instead of blaming the file.
    static bool GivenUp();
    // "Media run given up: the server stops or the request was abandoned".
    static const char* GivenUpText();

    // Shutdown: every waiting run leaves the queue, every running one is killed at its next step, and no
    // new run gets a slot. The server never runs media again after it; tests call Resume.
    static void StopAll();
    static void Resume();
    static bool Stopped();

    // How many runs may go at once (the core count, at least 1).
    static uint32_t Limit();
    // How many slots are taken now, and how many runs wait for one (tests).
    static uint32_t Taken();
    static uint32_t Waiting();

    // How long one run may take once it has its slot: 5000 ms (the environment variable
    // CALVORO_MEDIA_RUN_LIMIT_MS, 1 to 600000, sets another; any other value is logged as a warning and
    // leaves 5000). Tests on a machine under heavy load give the runs they do not time more room.
    static uint32_t TimeLimitMs();
    // Reads a limit in milliseconds as CALVORO_MEDIA_RUN_LIMIT_MS gives it: digits only, 1 to 600000.
    static bool ParseTimeLimitMs(const std::string& text, uint32_t& ms);
    static void SetTimeLimitMs(uint32_t ms);

private:
    bool held_ = false;
    bool nested_ = false;
};

// While it lives, media runs on this thread give up once abandoned() answers true (the request's client
// has gone, or its connection shuts down): a wait for a slot or for another request's probe of the same
// file, and a running grab or extraction, which is killed. A probe that other requests wait for goes on
// while one of them still waits. abandoned is asked a few times a second, never under a lock of the
// media runs.
class MediaRunWatch {
public:
    explicit MediaRunWatch(std::function<bool()> abandoned);
    ~MediaRunWatch();
    MediaRunWatch(const MediaRunWatch&) = delete;
    MediaRunWatch& operator=(const MediaRunWatch&) = delete;

    // Whether the thread serves a request (a watch lives), and whether that request was abandoned.
    static bool Watched();
    static bool Abandoned();

    // How often a wait asks.
    static const uint32_t kAskEveryMs = 200;

private:
    std::function<bool()> abandoned_;
    MediaRunWatch* outer_;
};
