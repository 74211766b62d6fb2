// What the fuzzing harnesses share: one-time engine set-up, a failed-invariant exit the fuzzer
// counts as a crash, a scratch directory per process, and a small seeded generator. Each
// harness is one LLVMFuzzerTestOneInput, built for AFL++ (VELMAR_FUZZ) and, always, into a
// replay program that feeds it the seed corpus under tests/fuzz/.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>

#include "attacks.h"

namespace velmar::fuzz {

// Once per process, before the first input.
inline void init() {
    static const bool done = [] {
        init_attacks();
        return true;
    }();
    (void)done;
}

// A broken promise of the engine: abort, so that AFL++ and the replay test both see a crash.
inline void check(bool ok, std::string_view what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed: %.*s\n", int(what.size()), what.data());
    std::fflush(stderr);
    std::abort();
}

// A directory of this process under the system's temporary directory, removed at exit (a
// crashed run leaves it behind; the names carry the process id). Never destroyed, so that the
// exit handler can still read it.
inline const std::filesystem::path& scratch_dir() {
    static const std::filesystem::path* dir = [] {
        auto* p = new std::filesystem::path(std::filesystem::temp_directory_path()
                                            / ("velmar_fuzz_" + std::to_string(::getpid())));
        std::filesystem::remove_all(*p);
        std::filesystem::create_directories(*p);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratch_dir(), ec);
        });
        return p;
    }();
    return *dir;
}

inline void write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    check(bool(out), "cannot write a scratch file");
}

// FNV-1a, to seed the generator from an input so that a run depends on the input alone.
inline uint64_t hash_bytes(std::span<const uint8_t> bytes) {
    uint64_t h = 0xCBF29CE484222325ULL;
    for (uint8_t b : bytes) h = (h ^ b) * 0x100000001B3ULL;
    return h;
}

struct Rng {
    uint64_t state;
    uint64_t next() {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return next() % n; }
};

}  // namespace velmar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
