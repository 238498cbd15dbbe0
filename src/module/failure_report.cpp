#include "failure_report.hpp"

#include <atomic>
#include <cstdio>
#include <string>

#if defined(__GLIBC__)
#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace vextral {

namespace {

std::string current_thread_name() {
#if defined(__GLIBC__)
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
#endif
  return "<unnamed>";
}

}  // namespace

void report_internal_failure(const metrics::InternalFailure& failure) {
  // Only the first report of a process explains how to get a backtrace.
  static std::atomic<bool> hint_given{false};

  const auto& where = failure.where();
  std::fprintf(stderr, "thread '%s' hit an internal failure at %s:%u:%u:\n%s\n",
               current_thread_name().c_str(), where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               failure.message().c_str());
  if (!failure.backtrace().empty()) {
    std::fputs("stack backtrace:\n", stderr);
    std::fflush(stderr);
#if defined(__GLIBC__)
    backtrace_symbols_fd(failure.backtrace().data(), static_cast<int>(failure.backtrace().size()),
                         fileno(stderr));
#endif
  } else if (!hint_given.exchange(true)) {
    std::fprintf(stderr, "note: run with `%s=1` environment variable to display a backtrace\n",
                 metrics::kBacktraceSwitch);
  }
  std::fflush(stderr);
}

}  // namespace vextral
