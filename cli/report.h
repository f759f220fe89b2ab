// What the command tells its user on standard error: every message starts
// "bitgrade: "; on a terminal, progress, and a summary at the end.
#pragma once

#include <chrono>
#include <string>

namespace cli {

// Ends the program with one message (status 2: a usage error). On a
// terminal it takes the place of an unfinished progress line. It ends the
// process at once, whatever other threads are doing.
[[noreturn]] void Fail(const std::string& message, int status = 1);

// "1 frame", "2 frames": a count and its noun, singular or plural.
std::string Count(int count, const std::string& noun);

// A message that does not end the program.
void Note(const std::string& message);

class Progress {
public:
    // `total`: the frames expected, or 0 when unknown (a pipe).
    Progress(bool show, int total);
    // Frames written so far; shown at most four times a second.
    void Frame(int frames);
    // What was done: "N frames of WxH, level L ISA, T threads, F fps, time".
    void Summary(int frames, int width, int height, int level, const char* isa, int threads);

private:
    using Clock = std::chrono::steady_clock;
    double Seconds(Clock::time_point now) const;

    bool show;
    int total;
    Clock::time_point start, last;
};

}  // namespace cli
