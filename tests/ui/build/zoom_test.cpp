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
};

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
