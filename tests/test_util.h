// Shared by the unit tests.
#pragma once

#include <string>

#include "u_Errors.h"

// The message of the exception f raises, or "<no exception>".
template <class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "<no exception>";
}
