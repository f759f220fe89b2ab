// Converts frames on several threads with the core's converter. Every
// worker has its own scratch memory, so workers share nothing but the
// read-only converter; results come back in input order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "convert/converter.h"

namespace cli {

// The script function's arguments, with its defaults, and the processor the
// converter is chosen for (the vector converter's instruction set can be
// forced).
struct FilterArgs {
    int sseopt = 0;
    bitgrade::Settings settings;
    bitgrade::Processor processor = bitgrade::DetectProcessor();
    // For benchmarks only: no filter, every sample written as sample * 256,
    // the floor of what the program costs around the filter.
    bool unfiltered = false;
};

// A filter that the arguments cannot make: the filter's own message.
class CreationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class FrameEngine {
public:
    // Chooses the converter as a script call would; throws CreationError
    // with the filter's message when the call would fail.
    FrameEngine(int width, int height, const FilterArgs& args, int threads);
    ~FrameEngine();

    // Hands a packed 8-bit frame over for conversion: its `samples` lie in
    // `buffer` or in memory that outlives the engine. Buffers are recycled:
    // `buffer` comes back holding a spare one (often of the right size), so
    // that reading the next frame into it allocates nothing.
    void Submit(std::vector<uint8_t>& buffer, const uint8_t* samples);
    // Swaps the oldest submitted frame's output (packed planes) into
    // `output`, waiting for it; false when none is pending.
    bool Collect(std::vector<uint8_t>& output);
    size_t Pending() const { return pending.size(); }
    int Threads() const { return (int)workers.size(); }
    // The level the filter runs (after detection), and for level 3 the
    // instruction set of its kernels; 0 and "" unfiltered.
    int Level() const { return converter ? converter->Level() : 0; }
    const char* Isa() const { return converter ? converter->Isa() : ""; }

private:
    struct Job;
    struct Worker;
    void Run(Worker& worker);
    void Convert(Worker& worker, Job& job);
    bool ConvertPadded(Worker& worker, const bitgrade::Frame& packed);

    int width, height;
    bitgrade::Settings settings;
    std::optional<bitgrade::Converter> converter;  // none unfiltered
    std::vector<std::unique_ptr<Worker>> workers;
    std::deque<std::shared_ptr<Job>> pending;  // in input order
    std::deque<std::shared_ptr<Job>> queue;    // not yet taken by a worker
    std::vector<std::shared_ptr<Job>> spare;   // collected, their buffers kept
    std::mutex mutex;
    std::condition_variable work, done;
    bool stopping = false;
    int submitted = 0;
};

}  // namespace cli
