// The live headless interface (see tests/ui/ui_fixture.h) for the synth plane,
// the settings windows and the tuning editor: built with this folder's
// callbacks, a capture device list and the audio queue, drained too.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../ui_fixture.h"
#include "engine/command.h"
#include "platform/images.h"
#include "ui/views/control_images.h"
#include "ui/views/install_c.h"
#include "visuals/glyphs.h"

namespace viewsc {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::CommandMessage;
using uitest::Capture;
using uitest::Reports;
using uitest::Snap;

class ViewsCTest : public uitest::LiveInterfaceTest {
 protected:
  void SetUp() override {
    LiveInterfaceTest::SetUp();
    if (HasFatalFailure()) return;
    Drain(QUARLE_BASICS::AudioCommandQueue);
  }
  void BeforeBuild() override {
    if (QUARLE_BASICS::AudioCommandQueue < 0) {
      int32_t q = -1;
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
      QUARLE_BASICS::AudioCommandQueue = q;
    }
    Tarvelo::Settings.OutputBufferLength = 10;
    Tarvelo::Settings.Monitors = 1;
    QUARLE_BASICS::DynZStringAssign(QUARLE_AUDIO::CaptureDeviceList[0], "[No Device]");
    QUARLE_AUDIO::CaptureDeviceCount = 1;
    QUARLE_AUDIO::CaptureSelected = 0;
    Tarvelo::Cb.CreateGlowImages = Tarvelo::CreateGlowImages;
    Tarvelo::InstallViewCallbacksC();
  }
  void TearDown() override {
    Drain(QUARLE_BASICS::AudioCommandQueue);
    Tarvelo::FreeGlowImages();
    LiveInterfaceTest::TearDown();
  }

  // The id of the control with this ID text, counting from `from`.
  static int32_t Find(const std::string& idText, int32_t from = 1) {
    for (int32_t i = from; i < V::ControlTableCount(); ++i)
      if (C(i) && QUARLE_BASICS::DynZStringGet(C(i)->ID) == idText) return i;
    return 0;
  }

  // A module of the type placed at window position (x, y); its list index.
  static Tarvelo::ModuleRecord* Make(int32_t type, int32_t x, int32_t y) {
    const int32_t i = Tarvelo::CreateModule(type, x, y, -1);
    EXPECT_GE(i, 0);
    return i >= 0 ? Tarvelo::ModuleList.entries[i] : nullptr;
  }
  static V::ControlRecord* Box(const Tarvelo::ModuleRecord* m) {
    return m ? C(static_cast<int32_t>(m->BoxControl.Load())) : nullptr;
  }
  // The port controls of a module's box: inputs in port order, then the output.
  static std::vector<int32_t> Ports(const Tarvelo::ModuleRecord* m) {
    std::vector<int32_t> out;
    const V::ControlRecord* box = Box(m);
    if (!box || box->Children.Count < 1) return out;
    const V::ControlRecord* group = C(box->Children.Ids[0]);
    for (uint32_t i = 0; group && i < group->Children.Count; ++i)
      if (group->Children.Ids[i] > 0) out.push_back(group->Children.Ids[i]);
    return out;
  }
  static int32_t Input(const Tarvelo::ModuleRecord* m, int32_t port) {
    std::vector<int32_t> p = Ports(m);
    return port < static_cast<int32_t>(p.size()) - 1 ? p[port] : 0;
  }
  static int32_t Output(const Tarvelo::ModuleRecord* m) {
    std::vector<int32_t> p = Ports(m);
    return p.empty() ? 0 : p.back();
  }
  // The event loop's call: the callback, then UpdateControl.
  static int32_t Send(int32_t id, uint32_t bits, int32_t x = 0, int32_t y = 0,
                      int32_t source = 0) {
    V::ControlRecord* c = C(id);
    if (!c || !c->EventCallback) return -999;
    const int32_t r = c->EventCallback(bits, x, y, id, source);
    V::UpdateControl(id, 0);
    return r;
  }
  // Publishes, snapshots and draws the control onto the target, as the renderer does.
  static int32_t Draw(int32_t id) {
    Snap s;
    V::FetchRenderRecord(s.get(), id);
    return C(id)->DrawCallback.load()(s.get(), id);
  }
};

}  // namespace viewsc
