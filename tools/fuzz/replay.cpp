// Replays inputs through a fuzzing harness without AFL++: every file named on the command line,
// and every file under every directory named (in name order), goes to LLVMFuzzerTestOneInput
// once. A fault aborts the program, so CTest sees the failing input in the last line printed.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "types.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            std::vector<fs::path> found;
            for (const fs::directory_entry& e : fs::recursive_directory_iterator(arg))
                if (e.is_regular_file()) found.push_back(e.path());
            std::sort(found.begin(), found.end());
            inputs.insert(inputs.end(), found.begin(), found.end());
        } else {
            inputs.push_back(arg);
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s FILE|DIR...  (no inputs found)\n", argc ? argv[0] : "replay");
        return 2;
    }
    for (const fs::path& path : inputs) {
        std::printf("%s\n", path.c_str());
        std::fflush(stdout);
        velmar::Result<std::vector<uint8_t>> bytes = velmar::read_file(path.string(), uint64_t(1) << 30);
        if (!bytes.ok()) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), bytes.error().message.c_str());
            return 2;
        }
        LLVMFuzzerTestOneInput(bytes.value().data(), bytes.value().size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
