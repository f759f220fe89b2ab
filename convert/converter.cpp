#include "converter.h"

#include "bitgrade_noopt.h"
#include "bitgrade_sse2.h"
#include "bitgrade_sse41.h"

namespace bitgrade {

Converter::Converter(int level, VectorIsa isa) : level(level), kernels(&KernelsFor(isa)) {}

bool Converter::ConvertPlane(const Plane& plane, const Settings& settings, Scratch& scratch) const {
    switch (level) {
    case 1: return ProcessPlaneNoopt(plane, settings, scratch);
    case 2: return ProcessPlaneSSE2(plane, settings, scratch);
    case 3: return ProcessPlaneSSE41(plane, settings, scratch, *kernels);
    }
    return false;  // no such level: creation gives 1 to 3 only
}

const char* Converter::Isa() const { return level == 3 ? kernels->isa : ""; }

}  // namespace bitgrade
