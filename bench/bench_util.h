// Shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>

// The shortest of several timed runs, in seconds.
inline double BestSeconds(int runs, const std::function<void()>& f) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}
