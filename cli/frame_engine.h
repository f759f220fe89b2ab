// Converts frames on several threads through the plugin's own path. Every
// worker has its own host environment, source clip and filter object, so
// workers share nothing; results come back in input order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugin/plugin.h"

namespace cli {

// The script arguments, with the script's defaults, and the processor the
// filters are made for (the vector converter's instruction set can be forced).
struct FilterArgs {
    int sseopt = 0, span = 3, ythr = 1, cthr = 1;
    bool debug = false;
    bitgrade::Processor processor = bitgrade::DetectProcessor();
    // For benchmarks only: no filter, every sample written as sample * 256,
    // the floor of what the program costs around the filter.
    bool unfiltered = false;
};

class FrameEngine {
public:
    // Creates one filter per thread; a creation error is raised as
    // native_host::ScriptError with the plugin's own message.
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
    // The level the filters run (after detection), and for level 3 the
    // instruction set of its kernels.
    int Level() const { return level; }
    const char* Isa() const;

private:
    struct Job;
    struct Worker;
    void Run(Worker& worker);
    void Convert(Worker& worker, Job& job);

    int width, height;
    bool debug;
    int level;
    bitgrade::VectorIsa isa;
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
