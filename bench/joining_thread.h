// A thread that is always joined when its owner goes away, also when an
// exception leaves the scope (std::thread would terminate the program).
#pragma once

#include <thread>
#include <utility>

namespace zelbench {

class JoiningThread {
public:
    template <typename Work>
    explicit JoiningThread(Work&& work) : thread_(std::forward<Work>(work))
    {
    }
    JoiningThread(const JoiningThread&) = delete;
    JoiningThread& operator=(const JoiningThread&) = delete;
    ~JoiningThread() { thread_.join(); }

private:
    std::thread thread_;
};

}  // namespace zelbench
