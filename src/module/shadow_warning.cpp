#include "shadow_warning.hpp"

#include <cstdio>

#include "pending_error.hpp"
#include "python.hpp"

namespace vextral {

void warn_if_departs_from_shadow(std::string_view function_name, const metrics::Shadowed& result) {
  if (!metrics::departs_from_shadow(result)) return;
  char message[512];
  std::snprintf(message, sizeof message,
                "%.*s returned %.9g, but the same formula on float64 sums of the same terms gives "
                "%.9g: its float32 running sums stopped growing on this large batch. The result keeps "
                "its specified bits; vextral.measure (or vextral.drift) computes the measures on exact sums.",
                static_cast<int>(function_name.size()), function_name.data(),
                static_cast<double>(result.value), result.shadow);
  // Level 1: attributed to the line that called the function.
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) raise_pending_error();
}

}  // namespace vextral
