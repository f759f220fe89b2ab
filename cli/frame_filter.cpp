#include "frame_filter.h"

#include <cstring>

#include "convert/creation.h"

namespace cli {

namespace {

// n samples as 16-bit samples, sample * 256, in a loop the compiler turns
// into vector code: the floor that the filter is measured by.
void Widen(const uint8_t* from, size_t n, uint8_t* out) {
    uint16_t* to = (uint16_t*)out;  // output buffers are aligned; samples are little-endian here
    for (size_t i = 0; i < n; ++i) to[i] = (uint16_t)(from[i] << 8);
}

int Align16(int bytes) { return (bytes + 15) / 16 * 16; }

void CopyRows(const uint8_t* from, int fromPitch, uint8_t* to, int toPitch, int rowBytes, int rows) {
    for (int y = 0; y < rows; ++y)
        std::memcpy(to + (size_t)y * toPitch, from + (size_t)y * fromPitch, (size_t)rowBytes);
}

}  // namespace

FrameFilter::FrameFilter(int width, int height, const FilterArgs& args)
    : width(width), height(height), settings(args.settings) {
    if (args.unfiltered) return;
    const bitgrade::Creation c = bitgrade::ChooseLevel({true, width}, args.processor, args.sseopt, args.settings);
    if (c.refusal) throw CreationError(c.refusal);
    converter.emplace(c.level, args.processor.vectorIsa);
}

bool FrameFilter::Convert(const uint8_t* in, uint8_t* out, Workspace& workspace) const {
    if (!converter) {
        Widen(in, InputBytes(), out);
        return true;
    }
    const bitgrade::Frame frame = bitgrade::PackedFrame(in, out, width, height, settings.debug ? 1 : 2);
    return converter->Level() == 1 ? ConvertPadded(frame, workspace)
                                   : converter->ConvertFrame(frame, settings, workspace.scratch);
}

// Level 1's working row is its destination pitch, not the plane's width. It
// gets the rows that a frame server's frames have, pitches rounded up to 16
// bytes and padded with zeros, so that its output is the plugin's in a
// script at every width. The other levels write straight into the output.
bool FrameFilter::ConvertPadded(const bitgrade::Frame& packed, Workspace& workspace) const {
    const int bytes = settings.debug ? 1 : 2;
    bitgrade::Frame padded = packed;
    size_t inBytes = 0, outBytes = 0;
    for (bitgrade::Plane& p : padded.planes) {
        p.srcPitch = Align16(p.width);
        p.dstPitch = Align16(p.width * bytes);
        inBytes += (size_t)p.srcPitch * p.height;
        outBytes += (size_t)p.dstPitch * p.height;
    }
    workspace.paddedIn.resize(inBytes);  // zeros once; later frames leave the padding alone
    workspace.paddedOut.resize(outBytes);
    uint8_t *in = workspace.paddedIn.data(), *out = workspace.paddedOut.data();
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
    if (!converter->ConvertFrame(padded, settings, workspace.scratch)) return false;
    for (int k = 0; k < 3; ++k) {
        const bitgrade::Plane &from = padded.planes[k], &to = packed.planes[k];
        CopyRows(from.dst, from.dstPitch, to.dst, to.dstPitch, to.width * bytes, to.height);
    }
    return true;
}

}  // namespace cli
