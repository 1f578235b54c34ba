// Runs work(t) for t in [0, count) on as many threads at once, and waits for them.
#pragma once

#include <thread>
#include <vector>

namespace kiln::test {

template <typename Work>
void OnThreads(int count, Work work) {
    std::vector<std::jthread> threads;
    for (int t = 0; t < count; ++t) {
        threads.emplace_back(work, t);
    }
}

}  // namespace kiln::test
