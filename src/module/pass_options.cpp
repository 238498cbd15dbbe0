#include "pass_options.hpp"

#include <cstdlib>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include "pair_kernel/kernel_path.hpp"
#include "pending_error.hpp"
#include "python.hpp"

namespace vextral {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool is_auto(std::string_view text) {
  constexpr std::string_view kAuto = "auto";
  if (text.size() != kAuto.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (lower(text[i]) != kAuto[i]) return false;
  }
  return true;
}

void check_signals(void*, std::uint64_t, std::uint64_t) {
  if (PyErr_CheckSignals() != 0) raise_pending_error();
}

}  // namespace

std::optional<unsigned> parse_thread_count(std::string_view text, unsigned cores) noexcept {
  text = trimmed(text);
  if (text.empty()) return std::nullopt;
  if (is_auto(text)) return cores;
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + unsigned(c - '0');
    if (value > kMaxThreads) value = kMaxThreads + 1;  // saturate; capped below
  }
  if (value == 0) return cores;
  return value > kMaxThreads ? kMaxThreads : unsigned(value);
}

unsigned available_cores() noexcept {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return unsigned(count);
  }
#endif
  const unsigned reported = std::thread::hardware_concurrency();
  return reported > 0 ? reported : 1;
}

unsigned threads_from_environment() noexcept {
  const char* value = std::getenv(kThreadsSetting);
  if (value == nullptr) return 1;
  return parse_thread_count(value, available_cores()).value_or(1);
}

std::optional<metrics::KernelPath> parse_kernel_path(std::string_view text) noexcept {
  text = trimmed(text);
  // Path names are short; anything longer names none of them.
  char name[16];
  if (text.empty() || text.size() >= sizeof(name)) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) name[i] = lower(text[i]);
  return metrics::supported_kernel_path_named(std::string_view(name, text.size()));
}

std::optional<metrics::KernelPath> kernel_path_from_environment() noexcept {
  const char* value = std::getenv(kKernelPathSetting);
  if (value == nullptr) return std::nullopt;
  return parse_kernel_path(value);
}

metrics::PassMonitor signal_checking_monitor() noexcept {
  metrics::PassMonitor monitor;
  monitor.between_panels = check_signals;
  return monitor;
}

metrics::PassOptions call_pass_options() noexcept {
  metrics::PassOptions options;
  options.threads = threads_from_environment();
  options.monitor = signal_checking_monitor();
  options.kernel_path = kernel_path_from_environment();
  return options;
}

}  // namespace vextral
