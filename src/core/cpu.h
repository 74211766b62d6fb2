// Processor feature check. cpu.cpp is compiled for baseline x86-64 and uses no inline library
// code (a template instantiated here could be merged at link time with a copy built for the
// program's level), so main can call it before anything built for the level runs. The hardware
// read (CPUID, XGETBV) is kept apart from the decision, which takes the registers as input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar::cpu {

// The register values the feature tests look at.
struct CpuidRegs {
    uint32_t max_leaf = 0;      // leaf 0 EAX
    uint32_t leaf1_ecx = 0;
    uint32_t leaf7_ebx = 0;     // leaf 7 sub-leaf 0; absent below max_leaf 7
    uint32_t max_ext_leaf = 0;  // leaf 0x80000000 EAX
    uint32_t ext1_ecx = 0;      // leaf 0x80000001 ECX; absent unless max_ext_leaf > 0x80000000
    uint64_t xcr0 = 0;          // XGETBV(0); counts as 0 without OSXSAVE (leaf 1 ECX bit 27)
};

// Feature names (static texts), in the build's check order.
struct FeatureList {
    const char* names[17] = {};
    int count = 0;
};

inline constexpr const char* LEVEL_NAME = VELMAR_LEVEL_NAME;

CpuidRegs read_cpuid();  // this processor

bool cpu_has(const CpuidRegs& regs, const char* name);  // unknown names count as present
FeatureList missing_features(const CpuidRegs& regs);
const char* best_build_for_this_cpu(const CpuidRegs& regs);
// Writes the start-up message into `out` (always terminated); returns false when nothing is missing.
bool check_message(const CpuidRegs& regs, char* out, size_t size);

}  // namespace velmar::cpu
