// The message of the internal failure a call ends in, for tests that check
// which failure a kernel reports.
#pragma once

#include <string>

#include "failure.hpp"

template <class Call>
std::string failure_message(Call&& call) {
  try {
    call();
  } catch (const metrics::InternalFailure& failure) {
    return failure.message();
  }
  return "<no failure>";
}
