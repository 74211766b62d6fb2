// An engine driven line by line whose output can be read while its search thread writes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine.h"

namespace velmar::test {

class Session {
public:
    Session()
        : output_([this](const std::string& text) {
              std::lock_guard lock(mutex_);
              std::istringstream in(text);
              std::string l;
              while (std::getline(in, l)) lines_.push_back(l);
              printed_.notify_all();
          }),
          engine_(output_) {}

    bool send(const std::string& line) { return engine_.handle(line); }
    void end() { engine_.end_of_input(); }
    uci::Engine& engine() { return engine_; }

    // Everything printed so far.
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<std::string> starting(const std::string& prefix) {
        std::vector<std::string> out;
        for (const std::string& l : lines())
            if (l.rfind(prefix, 0) == 0) out.push_back(l);
        return out;
    }
    // Blocks until a line starting with one of the prefixes is among lines(); returns the
    // first such line. Waits for output, not for a time.
    std::string wait_for(std::initializer_list<std::string_view> prefixes) {
        std::unique_lock lock(mutex_);
        for (;;) {
            for (const std::string& l : lines_)
                for (std::string_view p : prefixes)
                    if (l.rfind(p, 0) == 0) return l;
            printed_.wait(lock);
        }
    }
    // Blocks until `count` lines start with prefix, or `limit` has passed; returns those
    // lines either way. The limit only keeps a broken engine from hanging the suite.
    std::vector<std::string> wait_count(std::string_view prefix, size_t count,
                                        std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        auto matching = [&] {
            std::vector<std::string> out;
            for (const std::string& l : lines_)
                if (l.rfind(prefix, 0) == 0) out.push_back(l);
            return out;
        };
        printed_.wait_for(lock, limit, [&] { return matching().size() >= count; });
        return matching();
    }
    // Everything printed since the last take().
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        out.swap(lines_);
        return out;
    }

private:
    std::mutex mutex_;
    std::condition_variable printed_;
    std::vector<std::string> lines_;
    uci::Output output_;
    uci::Engine engine_;
};

}  // namespace velmar::test
