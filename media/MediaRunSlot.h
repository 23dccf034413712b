// The thumbnail and subtitle runs of ffmpeg that may go at once: one per core, so a burst of requests
// cannot start dozens of decoders that all miss their time limit. The others wait for a free slot;
// the wait does not count toward a run's own time limit.
#pragma once

#include <cstdint>
#include <string>

class MediaRunSlot {
public:
    // Blocks until a slot is free and takes it.
    MediaRunSlot();
    // Gives the slot back.
    ~MediaRunSlot();
    MediaRunSlot(const MediaRunSlot&) = delete;
    MediaRunSlot& operator=(const MediaRunSlot&) = delete;

    // How many runs may go at once (the core count, at least 1).
    static uint32_t Limit();
    // How many slots are taken now (tests).
    static uint32_t Taken();

    // How long one run may take once it has its slot: 5000 ms (the environment variable
    // CALVORO_MEDIA_RUN_LIMIT_MS, 1 to 600000, sets another; any other value is logged as a warning and
    // leaves 5000). Tests on a machine under heavy load give the runs they do not time more room.
    static uint32_t TimeLimitMs();
    // Reads a limit in milliseconds as CALVORO_MEDIA_RUN_LIMIT_MS gives it: digits only, 1 to 600000.
    static bool ParseTimeLimitMs(const std::string& text, uint32_t& ms);
    static void SetTimeLimitMs(uint32_t ms);
};
