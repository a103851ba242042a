// The live interface on a headless screen, where a frame that redraws only what
// was marked is compared with a whole redraw: StalePixels draws one partial
// frame as the video thread would, then the same frame whole, and counts (and
// can list) the pixels where they differ.
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "platform/screen.h"
#include "ui/views/cables.h"
#include "ui/views/views_c_fixture.h"
#include "visuals/renderer.h"
#include "visuals/video_thread.h"

namespace viewsc {

class PartialFrameTest : public ViewsCTest {
 protected:
  static constexpr int32_t kW = 1920, kH = 1080;

  void SetUp() override {
    ViewsCTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(platform::ScreenOpen(kW, kH, 32, 2, 0, 0));
    V::RenderFrame(true);
  }
  void TearDown() override {
    platform::ScreenClose();
    ViewsCTest::TearDown();
  }

  // Shown with every ancestor.
  static bool OnScreen(int32_t id) {
    for (const V::ControlRecord* c = C(id); c; c = C(c->Parent)) {
      if (c->Visible == 0) return false;
      if (c->Parent == c->Id) return true;
    }
    return false;
  }
  static std::vector<uint32_t> Shown() {
    platform::WorkPageGuard page;
    const uint32_t* p = platform::ScreenPagePixels(1);
    return p ? std::vector<uint32_t>(p, p + kW * kH) : std::vector<uint32_t>{};
  }
  // A partial frame as the video thread draws it (purging first when asked),
  // then the pixels where a whole redraw of that frame differs from it; their
  // offsets (y * kW + x) go to `where` when given. The whole redraw leaves the
  // frame watch out: its start would begin the next frame, where the render's
  // one-frame flags the partial frame took are gone.
  static int32_t StalePixels(std::vector<int32_t>* where = nullptr) {
    if (V::PurgeRequest.load() == -1) {
      V::PurgeRequest = 0;
      V::PurgeDeletedControls();
    }
    V::RenderFrame(false);
    const std::vector<uint32_t> partial = Shown();
    V::MarkAllControlsDirty();
    V::SetFrameWatch(nullptr, nullptr);
    V::RenderFrame(true);
    V::SetFrameWatch(Tarvelo::BeginCableFrame, Tarvelo::EndCableFrame);
    const std::vector<uint32_t> whole = Shown();
    // Neither frame may have had a draw asking to paint outside its area.
    for (const V::PaintOutside& o : V::TakePaintOutside())
      ADD_FAILURE() << Id(o.id) << " painted " << o.pixels << " px outside its area";
    if (partial.size() != whole.size()) return -1;
    int32_t stale = 0;
    for (size_t i = 0; i < whole.size(); ++i) {
      if (partial[i] == whole[i]) continue;
      ++stale;
      if (where) where->push_back(static_cast<int32_t>(i));
    }
    return stale;
  }
};

}  // namespace viewsc
