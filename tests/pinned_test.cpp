// Every output of the core, pinned: a hash of each combination of level,
// output depth and dither, adaptive window and debug map, over generated
// pictures with odd widths and the extreme levels at their edges. A change
// to a dither matrix, the fraction ramp or a rounding changes a hash: the
// commit that means it updates the table below, which a failure prints
// whole, and says why.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>

#include "test_support.h"

using namespace testing_support;

namespace {

struct Output {
    int level;  // 1 plain, 2 streaming, 3 vector (every instruction set)
    int bits;   // 16, 12, 10 or 8; the map is 8-bit at every depth
    bitgrade::Dither dither;
    bool adaptive, debug;
};

struct Pinned {
    Output output;
    uint64_t hash;
};

const bitgrade::Dither kNone = bitgrade::Dither::kNone, kOrdered = bitgrade::Dither::kOrdered,
                       kDiffusion = bitgrade::Dither::kDiffusion;

const Pinned kPinned[] = {
#include "pinned_outputs.inc"
};

const char* DitherName(bitgrade::Dither d) { return d == kNone ? "kNone" : d == kOrdered ? "kOrdered" : "kDiffusion"; }

std::string Line(const Output& o, uint64_t hash) {
    char line[160];
    std::snprintf(line, sizeof line, "{{%d, %d, %s, %s, %s}, 0x%016" PRIx64 "},", o.level, o.bits, DitherName(o.dither),
                  o.adaptive ? "true" : "false", o.debug ? "true" : "false", hash);
    return line;
}

// 64-bit FNV-1a, continued from `hash`.
uint64_t Hash(const std::vector<uint8_t>& bytes, uint64_t hash) {
    for (uint8_t b : bytes) hash = (hash ^ b) * 0x100000001B3u;
    return hash;
}

// Pictures of every generator, at sizes whose rows end inside a block and
// whose luma reaches past the dither matrix's side both ways: rows 64 on
// take its row 0 again, which row 0 of a picture, all border pixels, whose
// values have no low bits, never shows.
std::vector<Picture> Pictures() {
    std::vector<Picture> pictures;
    for (int kind = 0; kind < kStructuredKinds; ++kind)
        pictures.push_back(MakePicture(kind % 2 ? 174 : 90, kind % 2 ? 70 : 134,
                                       [&](int w, int h) { return Structured(kind, w, h, 11 + kind); }));
    return pictures;
}

// The output's bytes over every picture, hashed, with the kernels of `isa`.
uint64_t HashOf(const Output& o, bitgrade::VectorIsa isa, const std::vector<Picture>& pictures) {
    bitgrade::Settings settings;
    settings.ythr = 2;
    settings.maxSpan = o.adaptive ? 24 : 0;
    settings.debug = o.debug;
    const bitgrade::Converter converter({(bitgrade::Level)o.level, isa, settings, {o.bits, o.dither}});
    const int bytes = converter.Chosen().SampleBytes();
    uint64_t hash = 0xCBF29CE484222325u;
    for (const Picture& picture : pictures) {
        std::vector<uint8_t> in;
        for (const Plane* p : {&picture.y, &picture.u, &picture.v})
            in.insert(in.end(), p->samples.begin(), p->samples.end());
        std::vector<uint8_t> out(in.size() * bytes);
        bitgrade::Scratch scratch;
        const bitgrade::Frame frame =
            bitgrade::PackedFrame(in.data(), out.data(), picture.y.width, picture.y.height, bytes);
        EXPECT_TRUE(converter.ConvertFrame(frame, scratch));
        hash = Hash(out, hash);
    }
    return hash;
}

// Every level, adaptive or not (level 1 has one window), each depth and
// dither, and the map.
std::vector<Output> Combinations() {
    std::vector<Output> all;
    for (int level : {1, 2, 3}) {
        for (bool adaptive : {false, true}) {
            if (level == 1 && adaptive) continue;
            all.push_back({level, 16, kOrdered, adaptive, true});
            all.push_back({level, 16, kOrdered, adaptive, false});
            for (int bits : {12, 10, 8})
                for (bitgrade::Dither dither : {kNone, kOrdered, kDiffusion})
                    all.push_back({level, bits, dither, adaptive, false});
        }
    }
    return all;
}

TEST(Pinned, EveryOutputIsTheOneOfRecord) {
    if (bitgrade::DetectProcessor().sseLevel < 3) GTEST_SKIP() << "no SSE4.1 here";
    std::vector<bitgrade::VectorIsa> isas = {bitgrade::VectorIsa::kSse41};
    if (bitgrade::DetectProcessor().vectorIsa == bitgrade::VectorIsa::kAvx2) isas.push_back(bitgrade::VectorIsa::kAvx2);
    std::map<std::string, uint64_t> record;
    for (const Pinned& p : kPinned)
        EXPECT_TRUE(record.emplace(Line(p.output, 0), p.hash).second) << "twice: " << Line(p.output, 0);
    const std::vector<Picture> pictures = Pictures();
    std::string table;
    bool same = true;
    for (const Output& o : Combinations()) {
        const auto pinned = record.find(Line(o, 0));
        for (bitgrade::VectorIsa isa : o.level == 3 ? isas : std::vector<bitgrade::VectorIsa>{isas[0]}) {
            const uint64_t hash = HashOf(o, isa, pictures);
            const bool kept = pinned != record.end() && hash == pinned->second;
            EXPECT_TRUE(kept) << (pinned == record.end() ? "not in the table: " : "changed: ") << Line(o, hash)
                              << (isa == bitgrade::VectorIsa::kAvx2 ? " (AVX2)" : "");
            same &= kept;
            if (isa == isas[0]) table += Line(o, hash) + "\n";
        }
    }
    EXPECT_EQ(record.size(), Combinations().size()) << "the table holds outputs that are no longer made";
    if (!same) std::printf("Today's outputs, for tests/pinned_outputs.inc:\n%s", table.c_str());
}

}  // namespace
