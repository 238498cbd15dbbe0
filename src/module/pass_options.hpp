// The options of a pass over the pairs, as one call of a Python-visible
// function gets them: the thread count from the environment, and a monitor
// that lets Ctrl-C (or any signal handler that raises) stop the pass.
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

// The monitor for the calling thread, which holds the interpreter lock:
// between panels it runs the pending signal handlers, and an exception one
// of them raises (KeyboardInterrupt from Ctrl-C) is thrown as PythonError,
// which ends the pass and reaches the caller unchanged.
metrics::PassMonitor signal_checking_monitor() noexcept;

// Both of the above.
metrics::PassOptions call_pass_options() noexcept;

}  // namespace vextral
