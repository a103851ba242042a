// A headless interface with a live engine behind it (see tests/ui/ui_fixture.h),
// the module-box templates built and the module page installed, with the
// callbacks of the module tab and the record buttons standing in. Messages are
// captured; queue 0 is drained before each test.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "../../ui/ui_fixture.h"

namespace moduleui {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::CommandMessage;
using uitest::Capture;
using uitest::Reports;

// Calls of the callbacks a test stands in for: (control id, bits, source).
struct Call {
  int32_t id;
  uint32_t bits;
  int32_t source;
};
inline std::vector<Call>& Calls() {
  static std::vector<Call> calls;
  return calls;
}
inline int32_t RecordCall(uint32_t bits, int32_t, int32_t, int32_t id, int32_t source) {
  Calls().push_back({id, bits, source});
  return 0;
}

class ModuleUiTest : public uitest::LiveInterfaceTest {
 protected:
  void SetUp() override {
    LiveInterfaceTest::SetUp();
    if (HasFatalFailure()) return;
    Calls().clear();
  }
  void BeforeBuild() override {
    Tarvelo::Cb.OnModuleTab = RecordCall;
    Tarvelo::Cb.OnSampleRecord = RecordCall;
    Tarvelo::Cb.OnSequencerRecord = RecordCall;
    Tarvelo::Cb.OnMelodyGeneratorRecord = RecordCall;
    Tarvelo::BrowserTab = 0;
  }
  void TearDown() override {
    LiveInterfaceTest::TearDown();
    Tarvelo::BrowserTab = 0;
  }

  static V::ControlRecord* S(int32_t slot) { return C(Slot(slot)); }
  static std::string IdText(int32_t id) { return Id(id); }
  static bool Shown(int32_t id) { return C(id) && V::ControlVisible(C(id)) != 0; }
  static bool Disabled(int32_t id) { return C(id) && C(id)->State.Disabled != 0; }
  static int32_t Listed() { return Tarvelo::ModuleList.count; }
  static Tarvelo::ModuleRecord* Module(int32_t i) { return Tarvelo::ModuleList.entries[i]; }
  // The children of a control that are still there.
  static std::vector<int32_t> Children(int32_t id) {
    std::vector<int32_t> out;
    const V::ControlRecord* c = C(id);
    for (uint32_t i = 0; c && i < c->Children.Count; ++i)
      if (c->Children.Ids[i] > 0) out.push_back(c->Children.Ids[i]);
    return out;
  }
};

}  // namespace moduleui
