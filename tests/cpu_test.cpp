#include "cpu.h"

#include <gtest/gtest.h>

#include <string>

namespace velmar::cpu {
namespace {

constexpr uint32_t bits(std::initializer_list<int> list) {
    uint32_t v = 0;
    for (int b : list) v |= uint32_t(1) << b;
    return v;
}

// A processor with the whole x86-64-v3 set, the OS saving AVX state.
CpuidRegs v3_cpu() {
    CpuidRegs r;
    r.max_leaf = 7;
    r.leaf1_ecx = bits({0, 9, 12, 19, 20, 22, 23, 27, 28});
    r.leaf7_ebx = bits({3, 5, 8});
    r.max_ext_leaf = 0x80000001u;
    r.ext1_ecx = bits({5});
    r.xcr0 = 0x7;
    return r;
}

CpuidRegs v4_cpu() {
    CpuidRegs r = v3_cpu();
    r.leaf7_ebx |= bits({16, 17, 28, 30, 31});
    r.xcr0 = 0xE7;
    return r;
}

std::string missing_text(const CpuidRegs& r) {
    FeatureList list = missing_features(r);
    std::string out;
    for (int i = 0; i < list.count; ++i) out += std::string(i ? "," : "") + list.names[i];
    return out;
}

TEST(Cpu, SimulatedProcessorsGetTheRightVerdict) {
    struct Case {
        const char* name;
        CpuidRegs regs;
        const char* missing;
        const char* best;
    };
    CpuidRegs no_os_avx = v3_cpu();
    no_os_avx.xcr0 = 0x1;
    CpuidRegs no_osxsave = v3_cpu();
    no_osxsave.leaf1_ecx &= ~bits({27});  // XCR0 must then be ignored
    CpuidRegs v4_without_cd = v4_cpu();
    v4_without_cd.leaf7_ebx &= ~bits({28});
    CpuidRegs no_movbe = v3_cpu();
    no_movbe.leaf1_ecx &= ~bits({22});
    CpuidRegs no_leaf7 = v3_cpu();
    no_leaf7.max_leaf = 6;
    CpuidRegs no_ext = v3_cpu();
    no_ext.max_ext_leaf = 0x80000000u;
    CpuidRegs bare{};

    const Case cases[] = {
        {"v3", v3_cpu(), "", "x86-64-v3"},
        {"v4", v4_cpu(), "", "x86-64-v4"},
        {"AVX2 without OS support", no_os_avx, "avx,avx2,fma", "x86-64-v2"},
        {"no OSXSAVE", no_osxsave, "avx,avx2,fma", "x86-64-v2"},
        {"AVX-512 without CD", v4_without_cd, "", "x86-64-v3"},
        {"no MOVBE", no_movbe, "movbe", "x86-64-v2"},
        {"no leaf 7", no_leaf7, "avx2,bmi1,bmi2", "x86-64-v2"},
        {"no extended leaf", no_ext, "lzcnt", "x86-64-v2"},
        {"nothing", bare,
         "sse3,ssse3,sse4.1,sse4.2,popcnt,avx,avx2,bmi1,bmi2,fma,lzcnt,movbe", "x86-64"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(missing_text(c.regs), c.missing);
        EXPECT_STREQ(best_build_for_this_cpu(c.regs), c.best);
    }
    EXPECT_TRUE(cpu_has(bare, "no-such-feature"));
}

TEST(Cpu, MessageNamesMissingFeaturesAndBestBuild) {
    char message[512];
    EXPECT_FALSE(check_message(v3_cpu(), message, sizeof message));
    EXPECT_STREQ(message, "");

    CpuidRegs no_movbe = v3_cpu();
    no_movbe.leaf1_ecx &= ~bits({22});
    ASSERT_TRUE(check_message(no_movbe, message, sizeof message));
    EXPECT_EQ(std::string(message), std::string("This copy of Velmar is the ") + LEVEL_NAME
                                        + " build, but this processor lacks: movbe. Use the "
                                          "x86-64-v2 build instead.");

    CpuidRegs no_os_avx = v3_cpu();
    no_os_avx.xcr0 = 0;
    ASSERT_TRUE(check_message(no_os_avx, message, sizeof message));
    EXPECT_NE(std::string(message).find("lacks: avx, avx2, fma. Use the x86-64-v2 build"),
              std::string::npos);
}

}  // namespace
}  // namespace velmar::cpu
