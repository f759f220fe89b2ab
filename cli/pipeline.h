// The command's frames from reading to writing. A fixed set of frame slots,
// page-aligned, allocated once and reused, carries every frame: once each
// slot has been used, a frame costs no allocation, no page fault and no copy
// beyond reading it and writing it. A reading thread fills free slots,
// filtering threads convert them, and the calling thread writes them in
// input order, so the three overlap.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame_filter.h"
#include "output.h"
#include "y4m.h"

namespace cli {

// How the input ended, once every frame read before its end is written.
struct Ending {
    int frames = 0;        // written
    std::string error;     // a bad input's message, or a frame's that could not be converted
    bool stopped = false;  // by a stop signal
};

class Pipeline {
public:
    // Up to `threads` filtering threads, and slots enough to keep them busy
    // within kBytesInFlight (two at the least, whatever their size).
    Pipeline(const FrameFilter& filter, int threads);
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    int Threads() const { return (int)workers.size(); }

    // Every frame of `reader`, converted and written to `output` with its
    // FRAME line, in order; progress(frames written) after each.
    Ending Run(y4m::Reader& reader, Output& output, const std::function<void(int)>& progress);

    static const size_t kBytesInFlight = (size_t)512 << 20;

private:
    struct Slot;
    void Read(y4m::Reader& reader, Ending& ending);
    void Convert();

    const FrameFilter& filter;
    uint8_t* block;  // every slot's buffers
    std::vector<Slot> slots;
    // Slots by state, each a ring of slot numbers in the order they entered.
    struct Ring {
        std::vector<int> at;
        size_t head = 0, count = 0;
        void Push(int slot) { at[(head + count++) % at.size()] = slot; }
        int Pop() {
            const int slot = at[head];
            head = (head + 1) % at.size();
            --count;
            return slot;
        }
    };
    Ring free, toConvert, inOrder;  // inOrder: read, in input order, until written
    bool readingDone = false, stopping = false;
    std::mutex mutex;
    // Each wakes the threads that wait for it alone: the reader, the
    // filtering threads, the writer.
    std::condition_variable slotFreed, frameRead, frameConverted;
    std::vector<std::thread> workers;
};

}  // namespace cli
