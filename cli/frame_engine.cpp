#include "frame_engine.h"

#include <cstring>

#include "native_host/native_host.h"
#include "plugin/plugin.h"

namespace cli {

struct FrameEngine::Job {
    int index;
    std::vector<uint8_t> input, output;
    const uint8_t* samples;  // in `input`, or in the reader's mapped file
    bool finished = false;
    std::string error;
};

struct FrameEngine::Worker {
    native_host::Environment env;
    native_host::MemoryClip* source = nullptr;  // owned through the filter's child reference (none unfiltered)
    PClip filter;
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

// Copies packed rows into a frame plane, or a frame plane into packed rows.
void CopyPlane(const uint8_t* from, int fromPitch, uint8_t* to, int toPitch, int rowBytes, int rows) {
    for (int y = 0; y < rows; ++y)
        std::memcpy(to + (size_t)y * toPitch, from + (size_t)y * fromPitch, (size_t)rowBytes);
}

}  // namespace

FrameEngine::FrameEngine(int width, int height, const FilterArgs& args, int threads)
    : width(width), height(height), debug(args.debug), level(0), isa(args.processor.vectorIsa) {
    const VideoInfo vi = native_host::MakeVideoInfo(width, height, VideoInfo::CS_YV12, 1 << 30);
    for (int t = 0; t < threads; ++t) {
        auto worker = std::make_unique<Worker>();
        if (!args.unfiltered) {
            worker->source = new native_host::MemoryClip(vi, {});
            const AVSValue values[6] = {AVSValue(PClip(worker->source)),
                                        AVSValue(args.sseopt),
                                        AVSValue(args.span),
                                        AVSValue(args.ythr),
                                        AVSValue(args.cthr),
                                        AVSValue(args.debug)};
            worker->filter =
                bitgrade::CreateBitgradeOn(AVSValue(values, 6), &worker->env, args.processor, &level).AsClip();
        }
        workers.push_back(std::move(worker));
    }
    for (auto& worker : workers) worker->thread = std::thread([this, w = worker.get()] { Run(*w); });
}

const char* FrameEngine::Isa() const { return level == 3 ? bitgrade::KernelsFor(isa).isa : ""; }

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

// Whether frames of this many bytes a row are packed: the host's 16-byte
// pitches add no padding to their luma or chroma rows.
bool Packed(int rowBytes) { return rowBytes % 32 == 0; }

// One job through the worker's filter, by way of host frames as a script's
// frames go. Packed frames are the stream buffers themselves: the source
// frame lies over the job's input and the filter's frame is made in the job's
// output, so nothing is copied. Other frames are copied in and out, so that
// the filter sees the same padding as in a script.
void FrameEngine::Convert(Worker& worker, Job& job) {
    const int cw = width / 2, ch = height / 2, bytes = debug ? 1 : 2;
    const size_t outputBytes = ((size_t)width * height + 2 * (size_t)cw * ch) * bytes;
    if (Packed(width)) {
        // The filter only reads its source frame.
        worker.source->SetFrames({worker.env.FrameOver((BYTE*)job.samples, width, height, width, cw)});
    } else {
        PVideoFrame in = worker.env.NewVideoFrame(worker.source->GetVideoInfo(), 16);
        const uint8_t* packed = job.samples;
        for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
            const int w = plane == PLANAR_Y ? width : cw, h = plane == PLANAR_Y ? height : ch;
            CopyPlane(packed, w, in->GetWritePtr(plane), in->GetPitch(plane), w, h);
            packed += (size_t)w * h;
        }
        worker.source->SetFrames({in});
    }
    const bool packed = Packed(width * bytes);
    if (packed) worker.env.LendNextFrame(&job.output);
    const PVideoFrame out = worker.filter->GetFrame(job.index, &worker.env);
    worker.env.LendNextFrame(nullptr);
    worker.source->SetFrames({});
    job.output.resize(outputBytes);  // a smaller size keeps the buffer where it is
    if (packed && out->GetReadPtr(PLANAR_Y) == job.output.data()) return;
    uint8_t* to = job.output.data();
    for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
        const int rowBytes = (plane == PLANAR_Y ? width : cw) * bytes, h = plane == PLANAR_Y ? height : ch;
        CopyPlane(out->GetReadPtr(plane), out->GetPitch(plane), to, rowBytes, rowBytes, h);
        to += (size_t)rowBytes * h;
    }
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
            if (worker.filter) Convert(worker, *job);
            else Widen(job->samples, (size_t)width * height * 3 / 2, job->output);
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
