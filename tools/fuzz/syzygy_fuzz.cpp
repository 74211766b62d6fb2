// A Syzygy table file from outside. The input is a table name on the first line, then the
// file's bytes:
//
//   KQvKR.rtbw\n<bytes>
//
// A name of the form [KQRBNP]+v[KQRBNP]+.rtb[wz] (at most 24 characters) is taken as given,
// otherwise the name is KQvKR.rtbw and the whole input is the file. The file is written under
// that name into a directory that also holds every table of tests/data/syzygy (links), so a
// probe that continues into a smaller table finds it; the directory is loaded, positions of
// the name's material (both colourings, placed by a generator seeded from the input) are
// probed for WDL and at the root, and everything is unloaded and put back.
#include <algorithm>
#include <array>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "fuzz_util.h"
#include "position.h"
#include "syzygy.h"

#ifndef VELMAR_FUZZ_TABLES
#error "VELMAR_FUZZ_TABLES names the directory of the committed test tables"
#endif

using namespace velmar;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view DEFAULT_NAME = "KQvKR.rtbw";

bool valid_name(std::string_view name) {
    if (name.size() > 24 || name.size() < 8) return false;
    const std::string_view suffix = name.substr(name.size() - 5);
    if (suffix != ".rtbw" && suffix != ".rtbz") return false;
    const std::string_view material = name.substr(0, name.size() - 5);
    const size_t v = material.find('v');
    if (v == 0 || v == std::string_view::npos || v + 1 == material.size()) return false;
    auto pieces = [](std::string_view side) {
        return side.find_first_not_of("KQRBNP") == std::string_view::npos;
    };
    return pieces(material.substr(0, v)) && pieces(material.substr(v + 1));
}

const fs::path& table_dir() {
    static const fs::path dir = [] {
        fs::path d = fuzz::scratch_dir() / "tables";
        fs::create_directories(d);
        for (const fs::directory_entry& e : fs::directory_iterator(VELMAR_FUZZ_TABLES))
            fs::create_symlink(e.path(), d / e.path().filename());
        return d;
    }();
    return dir;
}

// `white` and `black` as piece letters; pawns go on ranks 2-7. Empty when the squares ran out.
std::string random_fen(std::string_view white, std::string_view black, bool white_to_move,
                       fuzz::Rng& rng) {
    std::array<char, 64> board{};
    auto place = [&](char c) {
        const bool pawn = c == 'P' || c == 'p';
        for (int tries = 0; tries < 64; ++tries) {
            const int sq = pawn ? 8 + int(rng.below(48)) : int(rng.below(64));
            if (board[size_t(sq)] == 0) {
                board[size_t(sq)] = c;
                return true;
            }
        }
        return false;
    };
    for (char c : white)
        if (!place(c)) return {};
    for (char c : black)
        if (!place(char(c - 'A' + 'a'))) return {};
    std::string fen;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            const char c = board[size_t(rank * 8 + file)];
            if (c == 0) {
                ++empty;
                continue;
            }
            if (empty) fen += char('0' + empty);
            empty = 0;
            fen += c;
        }
        if (empty) fen += char('0' + empty);
        if (rank) fen += '/';
    }
    return fen + (white_to_move ? " w - - 0 1" : " b - - 0 1");
}

void probe(const Syzygy& tb, std::string_view name, fuzz::Rng& rng) {
    const std::string_view material = name.substr(0, name.size() - 5);
    const size_t v = material.find('v');
    const std::string_view first = material.substr(0, v), second = material.substr(v + 1);
    for (int i = 0; i < 16; ++i) {
        const bool swap = i & 1, white_to_move = i & 2;
        const std::string fen =
            random_fen(swap ? second : first, swap ? first : second, white_to_move, rng);
        if (fen.empty()) continue;
        Result<Position> pos = Position::from_fen(fen);
        if (!pos.ok()) continue;
        (void)tb.probe_wdl(pos.value());
        (void)tb.probe_root(pos.value());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const size_t newline = text.substr(0, 25).find('\n');
    std::string_view name = DEFAULT_NAME;
    std::span<const uint8_t> file(data, size);
    if (newline != std::string_view::npos && valid_name(text.substr(0, newline))) {
        name = text.substr(0, newline);
        file = file.subspan(newline + 1);
    }

    const fs::path path = table_dir() / std::string(name);
    const fs::path original = fs::path(VELMAR_FUZZ_TABLES) / std::string(name);
    fs::remove(path);
    fuzz::write_file(path, file);

    if (Result<Syzygy> tb = Syzygy::load(table_dir().string()); tb.ok()) {
        fuzz::Rng rng{fuzz::hash_bytes({data, size})};
        probe(tb.value(), name, rng);
    }
    Syzygy::unload();

    fs::remove(path);
    if (fs::exists(original)) fs::create_symlink(original, path);
    return 0;
}
