// Shared by the benchmarks.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>
#include <cstdint>
#include <functional>
#include <string>

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

// A page of pseudo-random characters from `letters` letters upwards of `first`, about `size`
// bytes: text that deflate shrinks little. The seed carries on from page to page.
inline std::string NoisyPage(std::uint32_t& seed, std::size_t size, char first, unsigned letters) {
  std::string page = "<html><body><pre>";
  while (page.size() < size) {
    seed = seed * 1664525u + 1013904223u;
    page += static_cast<char>(first + (seed >> 24) % letters);
  }
  return page + "</pre></body></html>";
}

// One run of a program as a child process: whether it succeeded, its wall time, its peak memory
// (the process itself, not helpers it starts) and what it printed. Standard error is discarded.
struct TChildRun {
  bool Ok = false;
  double Ms = 0;
  // When the child's output first held a whole line starting "ms=" (its first page), by our clock
  // from just before the fork: what a reader waits, time before the child's main included.
  double FirstLineMs = -1;
  long PeakKiB = -1;
  std::string Out;
};

inline TChildRun RunChild(const std::vector<std::string>& args) {
  TChildRun run;
  const auto t0 = std::chrono::steady_clock::now();
  int out[2];
  if (args.empty() || ::pipe(out) != 0) return run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::_Exit(127);
  }
  ::close(out[1]);
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    run.Out.append(buffer, static_cast<std::size_t>(n));
    if (run.FirstLineMs < 0)
      if (const auto at = run.Out.find("ms="); at != std::string::npos && (at == 0 || run.Out[at - 1] == '\n') &&
                                                   run.Out.find('\n', at) != std::string::npos)
        run.FirstLineMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
  ::close(out[0]);
  int status = 0;
  rusage usage{};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return run;
  run.Ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  run.PeakKiB = usage.ru_maxrss;
  run.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}
