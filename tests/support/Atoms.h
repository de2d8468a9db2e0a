// What a call that must fail with NetObj::Error said: its atoms. For tests that link the runtime
// and GoogleTest; the failure to fail is a test failure.
//
// Ownership: none. Thread-safe.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "netobj/wire/Values.h"

namespace test_support {

inline NetObj::AtomList AtomsOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const NetObj::Error& e) {
    return e.atoms();
  }
  ADD_FAILURE() << "no NetObj::Error";
  return {};
}

}  // namespace test_support
