#include "output.h"

#include <cstdio>

namespace velmar::uci {

Output::Output()
    : sink_([](const std::string& text) {
          std::string with_newline = text + "\n";
          std::fwrite(with_newline.data(), 1, with_newline.size(), stdout);
          std::fflush(stdout);
      }) {}

void Output::line(const std::string& text) {
    std::lock_guard lock(mutex_);
    sink_(text);
}

}  // namespace velmar::uci
