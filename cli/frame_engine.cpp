#include "frame_engine.h"

#include <cstring>

#include "convert/creation.h"

namespace cli {

struct FrameEngine::Job {
    int index;
    std::vector<uint8_t> input, output;
    const uint8_t* samples;  // in `input`, or in the reader's mapped file
    bool finished = false;
    std::string error;
};

struct FrameEngine::Worker {
    bitgrade::Scratch scratch;
    std::vector<uint8_t> paddedIn, paddedOut;  // level 1's frames
    std::thread thread;
};

namespace {

// n 8-bit samples as little-endian 16-bit samples, sample * 256, as fast as
// the compiler's vectors make it: the floor that the filter is measured by.
void Widen(const uint8_t* from, size_t n, std::vector<uint8_t>& out) {
    out.resize(n * 2);
    uint8_t* to = out.data();
    for (size_t i = 0; i < n; ++i) {
        const uint16_t value = (uint16_t)(from[i] << 8);
        std::memcpy(to + 2 * i, &value, 2);
    }
}

int Align16(int bytes) { return (bytes + 15) / 16 * 16; }

void CopyRows(const uint8_t* from, int fromPitch, uint8_t* to, int toPitch, int rowBytes, int rows) {
    for (int y = 0; y < rows; ++y)
        std::memcpy(to + (size_t)y * toPitch, from + (size_t)y * fromPitch, (size_t)rowBytes);
}

}  // namespace

FrameEngine::FrameEngine(int width, int height, const FilterArgs& args, int threads)
    : width(width), height(height), settings(args.settings) {
    if (!args.unfiltered) {
        const bitgrade::Creation c = bitgrade::ChooseLevel({true, width}, args.processor, args.sseopt, args.settings);
        if (c.refusal) throw CreationError(c.refusal);
        converter.emplace(c.level, args.processor.vectorIsa);
    }
    for (int t = 0; t < threads; ++t) workers.push_back(std::make_unique<Worker>());
    for (auto& worker : workers) worker->thread = std::thread([this, w = worker.get()] { Run(*w); });
}

FrameEngine::~FrameEngine() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    work.notify_all();
    for (auto& worker : workers) worker->thread.join();
}

void FrameEngine::Submit(std::vector<uint8_t>& buffer, const uint8_t* samples) {
    std::shared_ptr<Job> job;
    if (spare.empty()) {
        job = std::make_shared<Job>();
    } else {
        job = spare.back();
        spare.pop_back();
        job->finished = false;
    }
    job->index = submitted++;
    job->input.swap(buffer);  // the buffer's samples keep their address
    job->samples = samples;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending.push_back(job);
        queue.push_back(job);
    }
    work.notify_one();
}

bool FrameEngine::Collect(std::vector<uint8_t>& output) {
    if (pending.empty()) return false;
    std::shared_ptr<Job> job = pending.front();
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return job->finished; });
    pending.pop_front();
    if (!job->error.empty()) throw std::runtime_error(job->error);
    output.swap(job->output);
    spare.push_back(job);
    return true;
}

// Level 1's working row is its destination pitch, not the plane's width. It
// gets the rows that a frame server's frames have, pitches rounded up to 16
// bytes and padded with zeros, so that its output is the plugin's in a
// script at every width. The other levels write straight into the output.
bool FrameEngine::ConvertPadded(Worker& worker, const bitgrade::Frame& packed) {
    const int bytes = settings.debug ? 1 : 2;
    bitgrade::Frame padded = packed;
    size_t inBytes = 0, outBytes = 0;
    for (bitgrade::Plane& p : padded.planes) {
        p.srcPitch = Align16(p.width);
        p.dstPitch = Align16(p.width * bytes);
        inBytes += (size_t)p.srcPitch * p.height;
        outBytes += (size_t)p.dstPitch * p.height;
    }
    worker.paddedIn.resize(inBytes);  // zeros once; later frames leave the padding alone
    worker.paddedOut.resize(outBytes);
    uint8_t *in = worker.paddedIn.data(), *out = worker.paddedOut.data();
    for (bitgrade::Plane& p : padded.planes) {
        p.src = in;
        p.dst = out;
        in += (size_t)p.srcPitch * p.height;
        out += (size_t)p.dstPitch * p.height;
    }
    for (int k = 0; k < 3; ++k) {
        const bitgrade::Plane &from = packed.planes[k], &to = padded.planes[k];
        CopyRows(from.src, from.srcPitch, (uint8_t*)to.src, to.srcPitch, from.width, from.height);
    }
    if (!converter->ConvertFrame(padded, settings, worker.scratch)) return false;
    for (int k = 0; k < 3; ++k) {
        const bitgrade::Plane &from = padded.planes[k], &to = packed.planes[k];
        CopyRows(from.dst, from.dstPitch, to.dst, to.dstPitch, to.width * bytes, to.height);
    }
    return true;
}

void FrameEngine::Convert(Worker& worker, Job& job) {
    const size_t samples = (size_t)width * height * 3 / 2;
    if (!converter) return Widen(job.samples, samples, job.output);
    const int bytes = settings.debug ? 1 : 2;
    job.output.resize(samples * bytes);  // a smaller size keeps the buffer where it is
    const bitgrade::Frame frame = bitgrade::PackedFrame(job.samples, job.output.data(), width, height, bytes);
    const bool converted = converter->Level() == 1 ? ConvertPadded(worker, frame)
                                                   : converter->ConvertFrame(frame, settings, worker.scratch);
    if (!converted) throw std::runtime_error(BITGRADE_MSG_NO_MEMORY);
}

void FrameEngine::Run(Worker& worker) {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            work.wait(lock, [&] { return stopping || !queue.empty(); });
            if (queue.empty()) return;
            job = queue.front();
            queue.pop_front();
        }
        try {
            Convert(worker, *job);
        } catch (const std::exception& e) {
            job->error = "frame " + std::to_string(job->index + 1) + ": " + e.what();
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            job->finished = true;
        }
        done.notify_all();
    }
}

}  // namespace cli
