// A headless interface to build into (see tests/ui/ui_fixture.h), with the
// checks the build tests make of what was built.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../ui_fixture.h"

namespace buildtest {

namespace V = QUARLE_VISUALS;

class BuildTest : public uitest::InterfaceTest {
 protected:
  static std::string Tip(int32_t id) {
    return C(id) ? QUARLE_BASICS::DynZStringGet(C(id)->Tooltip) : "<none>";
  }
  // x, y relative to the parent, as the tables give them.
  static void ExpectRect(int32_t id, int32_t x, int32_t y, int32_t w, int32_t h) {
    const V::ControlRecord* c = C(id);
    ASSERT_NE(c, nullptr) << id;
    const V::ControlRecord* p = id == 0 ? nullptr : C(c->Parent);
    EXPECT_EQ(c->X - (p ? p->X : 0), x) << Id(id);
    EXPECT_EQ(c->Y - (p ? p->Y : 0), y) << Id(id);
    EXPECT_EQ(c->W, w) << Id(id);
    EXPECT_EQ(c->H, h) << Id(id);
  }
  // One number for a whole table, so a changed entry anywhere shows up
  // without copying the table here.
  static uint64_t TableHash(const int32_t* t, int32_t n) {
    uint64_t h = 1469598103934665603ull;
    for (int32_t i = 0; i < n; ++i) h = (h ^ static_cast<uint32_t>(t[i])) * 1099511628211ull;
    return h;
  }
  // True once the plane and template group exists (SOUT id 141).
  static bool PlaneBuilt() { return V::UiIndex[Tarvelo::kUiSOUT] == 141; }
};

}  // namespace buildtest
