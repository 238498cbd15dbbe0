// The options of a pass over the pairs, as one call of a Python-visible
// function gets them: the thread count and the pair kernel's path from the
// environment, and a monitor that lets Ctrl-C (or any signal handler that
// raises) stop the pass.
#pragma once

#include <optional>
#include <string_view>

#include "metrics.hpp"

namespace vextral {

// Name of the environment setting that opts in to worker threads.
inline constexpr const char* kThreadsSetting = "VEXTRAL_NUM_THREADS";

// The thread count a value of VEXTRAL_NUM_THREADS asks for: "0" or "auto"
// (any case) is one per core this process may run on, a decimal N is N
// (at most kMaxThreads), surrounding blanks allowed. No value, an empty
// value, or one that is none of these gives nothing: the caller stays on its
// own thread.
std::optional<unsigned> parse_thread_count(std::string_view text, unsigned available_cores) noexcept;

inline constexpr unsigned kMaxThreads = 1024;

// The cores this process may run on (its affinity mask where the system has
// one), at least 1.
unsigned available_cores() noexcept;

// Threads for this call: VEXTRAL_NUM_THREADS read now, 1 when it is unset or
// unparsable.
unsigned threads_from_environment() noexcept;

// Name of the environment setting that picks the pair kernel's path, so that
// tests (and a user chasing a suspected fault of one path) can run each one.
inline constexpr const char* kKernelPathSetting = "VEXTRAL_KERNEL_PATH";

// The path a value of VEXTRAL_KERNEL_PATH asks for: "portable", "avx2" or
// "avx512" (any case, surrounding blanks allowed) when this processor can
// run it. No value, an empty value, a path this processor cannot run or any
// other text gives nothing: the call runs the fastest path. Every path gives
// the same bits, so a setting that cannot be honoured changes nothing but
// the speed.
std::optional<metrics::KernelPath> parse_kernel_path(std::string_view text) noexcept;

// The path for this call: VEXTRAL_KERNEL_PATH read now.
std::optional<metrics::KernelPath> kernel_path_from_environment() noexcept;

// The monitor for the calling thread, which holds the interpreter lock:
// between panels it runs the pending signal handlers, and an exception one
// of them raises (KeyboardInterrupt from Ctrl-C) is thrown as PythonError,
// which ends the pass and reaches the caller unchanged.
metrics::PassMonitor signal_checking_monitor() noexcept;

// All of the above.
metrics::PassOptions call_pass_options() noexcept;

}  // namespace vextral
