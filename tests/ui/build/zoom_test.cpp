// The interface at every zoom the video settings offer: it builds, and every
// icon button shows its picture (the shipped icon face at the zoom's size).
#include <cmath>
#include <string>
#include <vector>

#include "../ui_fixture.h"
#include "app/state/settings.h"
#include "platform/images.h"
#include "platform/screen.h"
#include "ui/panels/install.h"
#include "ui/views/control_images.h"
#include "ui/views/install.h"
#include "ui/views/install_c.h"
#include "visuals/dirty_region.h"

namespace buildtest {
namespace {

namespace V = QUARLE_VISUALS;

class ZoomBuildTest : public uitest::LiveInterfaceTest {
 protected:
  int32_t LoadFaces() override {
    platform::SetProgramFolderOverride(TARVELO_PROGRAM_DIR);
    return V::LoadFonts("/FONTS/Sansation/Sansation_Bold.ttf", "/FONTS/Fontello/Tarvelo-Fontello.ttf");
  }
  void BeforeBuild() override {
    if (QUARLE_BASICS::AudioCommandQueue < 0) {
      int32_t q = -1;
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
      QUARLE_BASICS::AudioCommandQueue = q;
    }
    Tarvelo::InstallViewCallbacksA();
    Tarvelo::InstallViewCallbacksB();
    Tarvelo::InstallViewCallbacksC();
    Tarvelo::InstallPanelHandlersA();
    Tarvelo::InstallPanelHandlersB();
  }
  void SetUp() override {
    ASSERT_TRUE(platform::ScreenOpen(1920, 1080, 32, 2, 0, 0));
    LiveInterfaceTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(fontResult, 0) << "run the build: the faces are made beside the program";
  }
  void TearDown() override {
    Tarvelo::ApplyZoomSizes(1.0f);
    V::ClearLiveDrawCallbacks();
    Tarvelo::FreeGlowImages();
    LiveInterfaceTest::TearDown();
    platform::ScreenClose();
  }

  // Icon buttons whose glyph layer holds no visible pixel.
  static std::vector<std::string> BlankIcons() {
    std::vector<std::string> blank;
    for (int32_t id = 0; id < V::ControlTableCount(); ++id) {
      const V::ControlRecord* c = C(id);
      if (!c || c->Style.Font != &V::IconFont || c->Style.Glyph <= ' ') continue;
      if (c->LayerCount < 1 || !c->Layers[0] || !c->DrawCallback.load()) continue;
      // Drawn as a frame draws it, with its caption rendered anew.
      uitest::Snap s;
      V::FetchRenderRecord(s.get(), id);
      s->Text.Changed = -1;
      V::DrawTarget = nullptr;
      c->DrawCallback.load()(s.get(), id);
      const platform::Image* img = c->Layers[0];
      int32_t ink = 0;
      for (int32_t i = 0; i < img->width * img->height; ++i) ink += (img->pixels[i] >> 24) > 127;
      if (ink == 0) blank.push_back(Id(id));
    }
    return blank;
  }

  // Columns from the first to the last holding a visible pixel of the image.
  static int32_t InkWidth(const platform::Image* img) {
    int32_t first = -1, last = -1;
    for (int32_t x = 0; img && x < img->width; ++x)
      for (int32_t y = 0; y < img->height; ++y)
        if ((img->pixels[y * img->width + x] >> 24) > 127) {
          if (first < 0) first = x;
          last = x;
          break;
        }
    return first < 0 ? 0 : last - first + 1;
  }
  static int32_t Named(const char* name) {
    for (int32_t id = 0; id < V::ControlTableCount(); ++id)
      if (C(id) && Id(id) == name) return id;
    return -1;
  }
  // The glyph's ink width as the build made it and as a draw renders it anew
  // (a press, a hover or a switched glyph re-renders the caption).
  static std::pair<int32_t, int32_t> GlyphWidths(int32_t id) {
    const V::ControlRecord* c = C(id);
    if (!c || c->LayerCount < 1) return {-1, -1};
    const int32_t built = InkWidth(c->Layers[0]);
    uitest::Snap s;
    V::FetchRenderRecord(s.get(), id);
    s->Text.Changed = -1;
    s->State.Pressed = -1;
    V::DrawTarget = nullptr;
    c->DrawCallback.load()(s.get(), id);
    return {built, InkWidth(c->Layers[0])};
  }
};

TEST_F(ZoomBuildTest, AGlyphGrowsWithItsButtonAtEveryZoom) {
  // The number base's set tick, the system bar, a window tab, a browser tab,
  // the transport's tool button.
  const char* const buttons[] = {"TSS", "TSC", "Quit", "Move", "VSTAB", "TABMSG", "TABFIL", "PLAY"};
  std::vector<std::pair<int32_t, int32_t>> atOne;
  for (const float z : {1.0f, 2.0f}) {
    ASSERT_EQ(Tarvelo::ApplyZoomSizes(z), 0);
    ASSERT_EQ(Tarvelo::BuildInterface(1.0f), 0);
    for (size_t i = 0; i < std::size(buttons); ++i) {
      SCOPED_TRACE(testing::Message() << buttons[i] << " at zoom " << z);
      const int32_t id = Named(buttons[i]);
      ASSERT_GT(id, 0);
      const auto [built, drawn] = GlyphWidths(id);
      EXPECT_GT(built, 0);
      // Drawn anew, the glyph keeps the size the build gave it.
      EXPECT_EQ(drawn, built);
      if (z == 1.0f) {
        atOne.emplace_back(built, drawn);
      } else {
        EXPECT_GE(drawn * 10, atOne[i].second * 18) << "zoom 1: " << atOne[i].second << " px, zoom 2: " << drawn;
      }
    }
  }
}

TEST_F(ZoomBuildTest, EveryOfferedZoomBuildsAndDrawsEveryIcon) {
  for (const int32_t monitors : {1, 2}) {
    Window(1920 * monitors, 1080);
    Tarvelo::SetZoomLimit(1920 * monitors);
    const int32_t options = static_cast<int32_t>(std::nearbyint(5.0f * (Tarvelo::ZoomLimit - Tarvelo::BaseZoom))) + 1;
    ASSERT_GE(options, 3);
    for (int32_t k = 0; k < options; ++k) {
      const float z = Tarvelo::BaseZoom + static_cast<float>(k) / 5.0f;
      SCOPED_TRACE(z);
      ASSERT_EQ(Tarvelo::ApplyZoomSizes(z), 0);
      ASSERT_EQ(Tarvelo::BuildInterface(1.0f), 0);
      const std::vector<std::string> blank = BlankIcons();
      std::string names;
      for (const std::string& n : blank) names += n + " ";
      EXPECT_TRUE(blank.empty()) << names;
    }
  }
}

}  // namespace
}  // namespace buildtest
