#include "panic_report.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__GLIBC__)
#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace vextral {

namespace {

// The thread's name into `name` (which holds at least 16 bytes).
void current_thread_name(char* name, std::size_t size) {
  std::snprintf(name, size, "%s", "<unnamed>");
#if defined(__GLIBC__)
  char own[64] = {};
  if (pthread_getname_np(pthread_self(), own, sizeof own) == 0 && own[0] != '\0')
    std::snprintf(name, size, "%s", own);
#endif
}

bool backtrace_requested() {
  const char* value = std::getenv(kBacktraceSwitch);
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace

void report_internal_failure(std::string_view message, const metrics::SourceLocation& where,
                             std::span<void* const> backtrace) noexcept {
  // Only the first report of a process explains how to get a backtrace.
  static std::atomic<bool> hint_given{false};

  char thread_name[64];
  current_thread_name(thread_name, sizeof thread_name);
  std::fprintf(stderr, "thread '%s' hit an internal failure at %s:%u:%u:\n%.*s\n", thread_name,
               where.file_name(), where.line(),
               where.column(), static_cast<int>(message.size()),
               message.data());
  if (!backtrace.empty() && backtrace_requested()) {
    std::fputs("stack backtrace:\n", stderr);
    std::fflush(stderr);
#if defined(__GLIBC__)
    backtrace_symbols_fd(backtrace.data(), static_cast<int>(backtrace.size()), fileno(stderr));
#endif
  } else if (!hint_given.exchange(true)) {
    std::fprintf(stderr, "note: run with `%s=1` environment variable to display a backtrace\n",
                 kBacktraceSwitch);
  }
  std::fflush(stderr);
}

void report_resumed_panic(PyObject* exception) noexcept {
  std::fputs(
      "vextral_core: a PanicException raised by Python code is resumed as an internal failure;\n"
      "its traceback follows:\n",
      stderr);
  std::fflush(stderr);
  // Only displayed: printing through sys.excepthook would honour a
  // SystemExit that the hook raises and end the process in mid-call.
  PyErr_DisplayException(exception);
}

}  // namespace vextral
