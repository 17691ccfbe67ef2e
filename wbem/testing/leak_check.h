// GoogleTest helpers that prove a test released every BSTR and every
// repository object it obtained, and raw variants to feed the kit.
//
//   class MyTest : public wbem::testing::LeakCheckedTest { ... };
//
// The fixture records wbem::GetLiveCounts() when it is constructed and checks
// them again in its destructor, that is after the test's own members (its
// Repository, ComPtrs, Variants) are gone. Counts are process-wide, so tests
// that use them must not run concurrently in one process (GoogleTest runs
// tests of one binary one after another).
//
// Link the CMake target wbem_testing.
#pragma once

#include <gtest/gtest.h>

#include <ostream>

#include "wbem/oleauto.h"

namespace wbem {

inline void PrintTo(const LiveCounts& c, std::ostream* os) {
  *os << "{bstrs=" << c.bstrs << ", objects=" << c.objects << "}";
}

namespace testing {

class LeakCheckedTest : public ::testing::Test {
 protected:
  LeakCheckedTest() : start_(GetLiveCounts()) {}
  ~LeakCheckedTest() override {
    EXPECT_EQ(GetLiveCounts(), start_) << "a BSTR or a repository object was not released";
  }
  const LiveCounts start_;
};

// A variant of type `vt` whose integer member holds `bits`, with nothing
// owned in it: what a wrong or foreign type looks like to the kit.
inline VARIANT RawVariant(VARTYPE vt, int bits = 0) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  v.intVal = bits;
  return v;
}

}  // namespace testing
}  // namespace wbem
