#include "report.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace cli {

namespace {

// Clears the rest of a terminal's line, where a longer progress line may
// stand.
const char* const kEraseLine = "\x1b[K";

bool Terminal() { return isatty(STDERR_FILENO); }

void Print(const std::string& message) {
    std::fprintf(stderr, "%sbitgrade: %s%s\n", Terminal() ? "\r" : "", message.c_str(), Terminal() ? kEraseLine : "");
}

const char* PluralS(int count) { return count == 1 ? "" : "s"; }

std::string MinutesSeconds(double seconds) {
    const int s = (int)seconds;
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d", s / 60, s % 60);
    return text;
}

}  // namespace

void Fail(const std::string& message, int status) {
    Print(message);
    std::fflush(stdout);
    std::_Exit(status);
}

void Note(const std::string& message) { Print(message); }

std::string Count(int count, const std::string& noun) { return std::to_string(count) + " " + noun + PluralS(count); }

Progress::Progress(bool show, int total) : show(show), total(total), start(Clock::now()), last(start) {}

double Progress::Seconds(Clock::time_point now) const {
    return std::max(1e-6, std::chrono::duration<double>(now - start).count());
}

void Progress::Frame(int frames) {
    if (!show) return;
    const auto now = Clock::now();
    if (now - last < std::chrono::milliseconds(250)) return;
    last = now;
    const double seconds = Seconds(now), fps = frames / seconds;
    if (total > frames)
        std::fprintf(stderr, "\rbitgrade: frame %d of %d  %.1f fps  %s elapsed  %s left%s", frames, total, fps,
                     MinutesSeconds(seconds).c_str(), MinutesSeconds(seconds * (total - frames) / frames).c_str(),
                     kEraseLine);
    else
        std::fprintf(stderr, "\rbitgrade: frame %d  %.1f fps  %s elapsed%s", frames, fps,
                     MinutesSeconds(seconds).c_str(), kEraseLine);
}

void Progress::Summary(int frames, int width, int height, int level, const char* isa, int threads) {
    if (!show) return;
    const double seconds = Seconds(Clock::now());
    std::fprintf(stderr, "\rbitgrade: %d frame%s of %dx%d, level %d%s%s, %d thread%s, %.1f fps, %s elapsed%s\n", frames,
                 PluralS(frames), width, height, level, *isa ? " " : "", isa, threads, PluralS(threads),
                 frames / seconds, MinutesSeconds(seconds).c_str(), kEraseLine);
}

}  // namespace cli
