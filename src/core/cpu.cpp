#include "cpu.h"

#include <cpuid.h>
#include <cstdio>
#include <cstring>

namespace velmar::cpu {

namespace {

constexpr const char* V2_GATE[] = {"sse3", "ssse3", "sse4.1", "sse4.2", "popcnt"};
constexpr const char* V3_GATE[] = {"avx", "avx2", "bmi1", "bmi2", "fma", "lzcnt", "movbe"};
constexpr const char* V4_GATE[] = {"avx512f", "avx512bw", "avx512vl", "avx512dq", "avx512cd"};
constexpr const char* V4_REQUIRED[] = {"sse3",  "ssse3",   "sse4.1",   "sse4.2",   "popcnt",
                                       "avx",   "avx2",    "bmi1",     "bmi2",     "fma",
                                       "lzcnt", "movbe",   "avx512f",  "avx512dq", "avx512cd",
                                       "avx512bw", "avx512vl"};

// Each level needs a prefix of the v4 list: v2 the first 5 names, v3 the first 12.
int required_count() {
    if (std::strcmp(LEVEL_NAME, "x86-64-v2") == 0) return 5;
    if (std::strcmp(LEVEL_NAME, "x86-64-v3") == 0) return 12;
    if (std::strcmp(LEVEL_NAME, "x86-64-v3-pext") == 0) return 12;
    if (std::strcmp(LEVEL_NAME, "x86-64-v4") == 0) return 17;
    return 0;
}

template <size_t N>
bool all_present(const CpuidRegs& regs, const char* const (&names)[N]) {
    for (const char* n : names)
        if (!cpu_has(regs, n)) return false;
    return true;
}

bool bit(uint64_t value, int n) { return (value >> n) & 1; }

}  // namespace

CpuidRegs read_cpuid() {
    CpuidRegs r;
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid(0, a, b, c, d);
    r.max_leaf = a;
    if (r.max_leaf >= 1) {
        __cpuid(1, a, b, c, d);
        r.leaf1_ecx = c;
    }
    if (r.max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        r.leaf7_ebx = b;
    }
    __cpuid(0x80000000u, a, b, c, d);
    r.max_ext_leaf = a;
    if (r.max_ext_leaf > 0x80000000u) {
        __cpuid(0x80000001u, a, b, c, d);
        r.ext1_ecx = c;
    }
    if (bit(r.leaf1_ecx, 27)) {
        uint32_t lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        r.xcr0 = (uint64_t(hi) << 32) | lo;
    }
    return r;
}

bool cpu_has(const CpuidRegs& r, const char* name) {
    const uint64_t xcr0 = bit(r.leaf1_ecx, 27) ? r.xcr0 : 0;
    const bool os_avx = bit(xcr0, 1) && bit(xcr0, 2);
    const bool os_avx512 = (xcr0 & 0xE6) == 0xE6;
    const uint32_t l7 = r.max_leaf >= 7 ? r.leaf7_ebx : 0;
    const uint32_t e1 = r.max_ext_leaf > 0x80000000u ? r.ext1_ecx : 0;
    const uint32_t c1 = r.leaf1_ecx;
    struct Test {
        const char* name;
        bool present;
    };
    const Test tests[] = {
        {"sse3", bit(c1, 0)},
        {"ssse3", bit(c1, 9)},
        {"sse4.1", bit(c1, 19)},
        {"sse4.2", bit(c1, 20)},
        {"popcnt", bit(c1, 23)},
        {"avx", bit(c1, 28) && os_avx},
        {"avx2", bit(l7, 5) && os_avx},
        {"bmi1", bit(l7, 3)},
        {"bmi2", bit(l7, 8)},
        {"fma", bit(c1, 12) && os_avx},
        {"lzcnt", bit(e1, 5)},
        {"movbe", bit(c1, 22)},
        {"avx512f", bit(l7, 16) && os_avx512},
        {"avx512dq", bit(l7, 17) && os_avx512},
        {"avx512cd", bit(l7, 28) && os_avx512},
        {"avx512bw", bit(l7, 30) && os_avx512},
        {"avx512vl", bit(l7, 31) && os_avx512},
    };
    for (const Test& t : tests)
        if (std::strcmp(t.name, name) == 0) return t.present;
    return true;
}

FeatureList missing_features(const CpuidRegs& regs) {
    FeatureList missing;
    for (int i = 0; i < required_count(); ++i)
        if (!cpu_has(regs, V4_REQUIRED[i])) missing.names[missing.count++] = V4_REQUIRED[i];
    return missing;
}

const char* best_build_for_this_cpu(const CpuidRegs& regs) {
    if (all_present(regs, V3_GATE)) return all_present(regs, V4_GATE) ? "x86-64-v4" : "x86-64-v3";
    if (all_present(regs, V2_GATE)) return "x86-64-v2";
    return "x86-64";
}

bool check_message(const CpuidRegs& regs, char* out, size_t size) {
    FeatureList missing = missing_features(regs);
    if (size) out[0] = '\0';
    if (missing.count == 0) return false;
    char names[256] = "";
    for (int i = 0; i < missing.count; ++i) {
        if (i) std::strncat(names, ", ", sizeof names - std::strlen(names) - 1);
        std::strncat(names, missing.names[i], sizeof names - std::strlen(names) - 1);
    }
    std::snprintf(out, size,
                  "This copy of Velmar is the %s build, but this processor lacks: %s. Use the %s "
                  "build instead.",
                  LEVEL_NAME, names, best_build_for_this_cpu(regs));
    return true;
}

}  // namespace velmar::cpu
