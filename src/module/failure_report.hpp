// The short report written to standard error when an internal failure
// reaches the entry guard.
#pragma once

#include "failure.hpp"

namespace vextral {

void report_internal_failure(const metrics::InternalFailure& failure);

}  // namespace vextral
