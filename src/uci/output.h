// All protocol text leaves through an Output: one whole line per call, so lines written by the
// command loop and the search thread never interleave. Tests capture the lines instead.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace velmar::uci {

class Output {
public:
    using Sink = std::function<void(const std::string&)>;
    Output();                              // standard output
    explicit Output(Sink sink) : sink_(std::move(sink)) {}

    void line(const std::string& text);    // appends the newline

private:
    std::mutex mutex_;
    Sink sink_;
};

}  // namespace velmar::uci
