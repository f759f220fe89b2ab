#include "pipeline.h"

#include <algorithm>
#include <cstdlib>

#include "convert/messages.h"

namespace cli {

namespace {

// Room before a frame's samples for its FRAME line, which the reader keeps
// within y4m::kMaxLine bytes and its line feed, on a 64-byte boundary.
const size_t kLineRoom = (y4m::kMaxLine + 1 + 63) / 64 * 64;

// Slot memory is one block of ordinary pages, faulted in as the first
// frames pass through it. Huge pages made that cheaper on some virtual
// machines (60 ms less for ten 1080p frames) but far dearer on others,
// where the host backs them anew after a pause (0.5 s more for the same run,
// 3 s for 8K), so none are asked for.
const size_t kPage = 4096;

size_t RoundUp(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

}  // namespace

struct Pipeline::Slot {
    uint8_t* input;
    uint8_t* output;  // kLineRoom, then the converted samples
    std::string params;
    bool converted = false, failed = false;
};

Pipeline::Pipeline(const FrameFilter& filter, int threads) : filter(filter) {
    const size_t inputBytes = RoundUp(filter.InputBytes(), kPage);
    const size_t slotBytes = inputBytes + RoundUp(kLineRoom + filter.OutputBytes(), kPage);
    const size_t count = std::clamp<size_t>(kBytesInFlight / slotBytes, 2, (size_t)threads + 2);
    block = (uint8_t*)std::aligned_alloc(kPage, count * slotBytes);
    if (!block) throw std::bad_alloc();
    slots.resize(count);
    for (size_t k = 0; k < count; ++k) {
        slots[k].input = block + k * slotBytes;
        slots[k].output = slots[k].input + inputBytes;
    }
    for (Ring* ring : {&free, &toConvert, &inOrder}) ring->at.resize(count);
    for (size_t k = 0; k < count; ++k) free.Push((int)k);
    const int filtering = std::min(threads, (int)count);
    for (int t = 0; t < filtering; ++t) workers.push_back(HelperThread([this] { Convert(); }));
}

Pipeline::~Pipeline() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    frameRead.notify_all();
    for (std::thread& worker : workers) worker.join();
    std::free(block);
}

void Pipeline::Convert() {
    bitgrade::Scratch scratch;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        frameRead.wait(lock, [&] { return stopping || toConvert.count > 0; });
        if (toConvert.count == 0) return;
        Slot& slot = slots[(size_t)toConvert.Pop()];
        lock.unlock();
        const bool converted = filter.Convert(slot.input, slot.output + kLineRoom, scratch);
        lock.lock();
        slot.failed = !converted;
        slot.converted = true;
        frameConverted.notify_one();
    }
}

// Fills free slots from the input until its end, a bad frame or a stop
// signal, which `ending` records.
void Pipeline::Read(y4m::Reader& reader, Ending& ending) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        slotFreed.wait(lock, [&] { return free.count > 0; });
        const int k = free.Pop();
        Slot& slot = slots[(size_t)k];
        lock.unlock();
        bool more = false;
        try {
            more = reader.NextFrame(slot.input, slot.params);
        } catch (const y4m::Error& e) {
            ending.error = e.what();
        } catch (const y4m::Interrupted&) {
            ending.stopped = true;
        }
        lock.lock();
        if (!more) {
            free.Push(k);
            readingDone = true;
            frameConverted.notify_one();
            return;
        }
        slot.converted = false;
        toConvert.Push(k);
        inOrder.Push(k);
        frameRead.notify_one();
    }
}

Ending Pipeline::Run(y4m::Reader& reader, Output& output, const std::function<void(int)>& progress) {
    Ending ending, reading;
    std::thread readingThread = HelperThread([&] { Read(reader, reading); });
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        frameConverted.wait(lock, [&] {
            return (inOrder.count > 0 && slots[(size_t)inOrder.at[inOrder.head]].converted) ||
                   (readingDone && inOrder.count == 0);
        });
        if (inOrder.count == 0) break;
        const int k = inOrder.Pop();
        Slot& slot = slots[(size_t)k];
        lock.unlock();
        if (slot.failed) {
            ending.error = "frame " + std::to_string(ending.frames + 1) + ": " + BITGRADE_MSG_NO_MEMORY;
            break;
        }
        uint8_t* samples = slot.output + kLineRoom;
        const uint8_t* line = y4m::PutFrameLine(slot.params, samples);
        output.WriteFrame(line, (size_t)(samples - line) + filter.OutputBytes());
        progress(++ending.frames);
        lock.lock();
        free.Push(k);
        slotFreed.notify_one();
    }
    if (lock.owns_lock()) lock.unlock();
    if (!ending.error.empty()) {
        readingThread.detach();  // the process ends with the error; the reader may be waiting for input
        return ending;
    }
    readingThread.join();
    ending.error = reading.error;
    ending.stopped = reading.stopped;
    return ending;
}

}  // namespace cli
