// Any bytes as a YUV4MPEG2 stream: the reader either yields frames of the
// declared size or raises its error; it never crashes or reads out of bounds.
#include <cstdio>

#include "cli/y4m.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* in = fmemopen((void*)data, size, "rb");
    if (!in) return 0;
    try {
        y4m::Reader reader(in, 256);
        const y4m::StreamHeader header = reader.ReadHeader();
        (void)y4m::OutputHeader(header, size % 2 == 0);
        std::vector<uint8_t> frame;
        std::string params;
        while (reader.ReadFrame(frame, params))
            if (frame.size() != header.FrameBytes()) __builtin_trap();
    } catch (const y4m::Error&) {
    }
    std::fclose(in);
    return 0;
}
