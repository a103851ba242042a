// The later groups: browser panes, MIDI page, plane and module templates, key
// windows, settings windows, tuning editor and About window. Ids and slots the
// handlers rely on, positions at zoom 1 on a 1920 x 1080 window, the starting
// fields taken from the settings, and the failure rule inside the groups.
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/fixed_tables.h"
#include "app/startup.h"
#include "audio/audio.h"
#include "basics/console.h"
#include "build_fixture.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/keyboard.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "ui/build/groups_b.h"

namespace buildtest {
namespace {

using namespace Tarvelo;

int32_t Dummy(uint32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }
int32_t DummyHook(float*) { return 0; }

class GroupsBTest : public BuildTest {
 protected:
  void SetUp() override {
    BuildTest::SetUp();
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);  // the catalog and the keyboard states
    SetDisplayDriverNames();
    SetProductIdentity();
    SetLanguageAndLevelTables();
    QUARLE_BASICS::DynZStringAssign(QUARLE_AUDIO::PlaybackDeviceList[0], "[No Device]");
    QUARLE_AUDIO::PlaybackDeviceCount = 1;
    QUARLE_AUDIO::PlaybackSelected = 0;
    Settings.OutputBufferLength = 10;
    Settings.AutoConnect = 0;
    Settings.Zoom = 1.4f;
    Settings.CpuSaving = -1;
    Settings.DisplayMidiInput.Store(-1);
    QUARLE_BASICS::DisplayDriverIndex = 2;
    TimeBaseIndex.Store(2);
    CurrentKeyboardIndex.Store(0);
    KeyboardStates[0].Load()->KeyOffset.Store(0);
  }
  void TearDown() override {
    Tarvelo::close();
    FreeKeyboardKeyColours();
    BuildTest::TearDown();
  }
  static std::string Text(int32_t id) {
    return C(id) ? QUARLE_VISUALS::TextFieldGetText(&C(id)->Text) : "<none>";
  }
};

TEST_F(GroupsBTest, IdsSlotsAndPositionsAtTheStartUpBuild) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  EXPECT_EQ(V::ControlTableCount(), 542);
  EXPECT_EQ(Id(117), "FB");
  EXPECT_EQ(Id(271), "MODOUT");  // type 0 has no input port
  EXPECT_EQ(Id(434), "STB_WIN");
  EXPECT_EQ(Id(541), "BY");
  EXPECT_EQ(V::UiIndex[55], 131);
  EXPECT_EQ(V::UiIndex[112], 496);
  EXPECT_EQ(V::WindowList[1], 536);
  // Handlers reach these by relative ids.
  EXPECT_EQ(Id(V::UiIndex[kUiREFM] + 1), "LIBM");
  EXPECT_EQ(Id(V::UiIndex[kUiAS_INFO] + 3), "AS_RESET");
  EXPECT_EQ(Id(V::UiIndex[kUiFAV_AK] - 2), "FAD_AK");
  for (const char* set : {"VS_DRIVER_SET", "VS_ZSET", "AS_SET", "AS_ISET", "VS_LNSET"}) {
    int32_t id = 0;
    for (int32_t i = 456; i < 498 && !id; ++i)
      if (Id(i) == set) id = i;
    ASSERT_GT(id, 0) << set;
    EXPECT_TRUE(V::ControlAt(id - 1)->W > V::ControlAt(id)->W) << set;  // a selector
    EXPECT_NE(Id(id + 1).find("RES"), std::string::npos) << set;
  }
  EXPECT_EQ(TuningTabId, 453);
  EXPECT_EQ(V::ActiveEditField(), 449);

  // Positions: panes of R = 13 and s = 15 on 1080 lines, 400 pixels of tools.
  ExpectRect(117, 8, 90, 445, 471);
  ExpectRect(129, 220, 0, 225, 35);  // 219.5 to even
  ExpectRect(139, 0, 100, 1455, 980);
  ExpectRect(141, 748, 850, 50, 40);  // 747.5 to even
  // Key windows: room for 16 keys of 45 on the board, 25 on the keyboard;
  // the board shows base 5's 10 keys in that room, each 72 tall.
  ExpectRect(444, 3, 77, 45, 720);
  EXPECT_EQ(OctaveBoardVisibleKeys.Load(), 10);
  EXPECT_EQ(OctaveKeyHeight.Load(), 72);
  EXPECT_EQ(KeyboardVisibleKeys, 25);
  ExpectRect(453, 1351, 3, 45, 45);  // ends one border inside the window
  // Settings windows hang under their tabs.
  const V::ControlRecord* vstab = C(VideoTabId);
  ASSERT_NE(vstab, nullptr);
  EXPECT_EQ(C(456)->X, vstab->X);
  EXPECT_EQ(C(456)->Y, vstab->Y + vstab->H);
  // Tuning window: right edge on the tab's, bottom on its top.
  ExpectRect(498, 452, 231, 1000, 770);
  // About: 820 x 594, centred with halves to even.
  ExpectRect(536, 550, 243, 820, 594);
}

TEST_F(GroupsBTest, ModuleTemplates) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  const int32_t u = 5, b = 3;
  for (int32_t t = 0; t < kModuleTypeCount; ++t) {
    const ModuleRecord& type = ModuleCatalog[t];
    const int32_t box = 142 + 3 * t;
    ASSERT_EQ(type.BoxControl.Load(), box) << t;
    V::ControlRecord* c = C(box);
    EXPECT_EQ(c->Visible.load(), 0);
    EXPECT_EQ(C(box + 1)->Visible.load(), 0);   // PMOD
    EXPECT_EQ(C(box + 2)->Visible.load(), -1);  // CMOD
    EXPECT_EQ(c->Colour, CategoryColours[type.Category]);
    EXPECT_EQ(Tip(box), QUARLE_BASICS::DynZStringGet(type.Name));
    ASSERT_GE(c->LayerCount, 5);
    ASSERT_NE(c->Layers[4], nullptr);
    EXPECT_EQ(*platform::ImagePixel(c->Layers[4], 3, 3), ModuleBodyFill(c->Colour));
    EXPECT_EQ(*platform::ImagePixel(c->Layers[4], 0, 0), 0u);
    // Ports: inputs fill the row from the left, the output is centred at the bottom.
    const V::ControlRecord* pmod = C(box + 1);
    ASSERT_EQ(pmod->Children.Count, static_cast<uint32_t>(type.PortCount + 1)) << t;
    int32_t x = pmod->X + b;
    for (int32_t j = 0; j < type.PortCount; ++j) {
      const V::ControlRecord* in = C(pmod->Children.Ids[j]);
      EXPECT_EQ(Id(in->Id), "MODIN");
      EXPECT_EQ(in->X, x);
      EXPECT_EQ(static_cast<int64_t>(in->Tag), j);
      EXPECT_EQ(Tip(in->Id), "Module input #" + std::to_string(j));
      x += in->W;
    }
    EXPECT_LE(x, pmod->X + pmod->W - b) << t;
    const V::ControlRecord* out = C(pmod->Children.Ids[type.PortCount]);
    EXPECT_EQ(Id(out->Id), "MODOUT");
    EXPECT_EQ(static_cast<int64_t>(out->Tag), -1);
    EXPECT_EQ(out->Y - pmod->Y, pmod->H - b - 5 * u);
  }
  // Box widths in pixels, and the caption moved up over a box without inputs.
  const int32_t sizes[][3] = {{0, 116, -36}, {5, 116, 0}, {18, 516, 0}, {41, 116, 0}};
  for (const auto& [t, w, caption] : sizes) {
    EXPECT_EQ(C(142 + 3 * t)->W, w) << t;
    EXPECT_EQ(ModuleBoxCaptionOffset(C(142 + 3 * t)), caption) << t;
  }
  // Colour of an audio-input box: a darker translucent fill and a half-bright shade.
  EXPECT_EQ(ModuleBodyFill(0xFFAA0000), 0xAA380000u);
  EXPECT_EQ(ModuleBodyShade(0xFFAA0000), 0xFF550000u);
}

TEST_F(GroupsBTest, StartingFieldsMasksAndTooltips) {
  Cb.OnAboutLink = Dummy;
  Cb.OnToggleSwitch = Dummy;
  Cb.OnReferenceFrequencyValue = DummyHook;
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  // MIDI page and sample library.
  EXPECT_EQ(static_cast<int64_t>(C(136)->Tag), 5);
  EXPECT_EQ(C(127)->Visible.load(), 0);  // LIBM waits for its tab
  // Keyboards: position p + 8N, colours all {1, 1, 1}.
  EXPECT_EQ(C(454)->Text.Selected, 96);
  EXPECT_EQ(C(449)->LayerCount, KeyboardVisibleKeys);
  ASSERT_NE(KeyboardKeyColours, nullptr);
  for (int32_t k = 0; k < KeyboardVisibleKeys; ++k) EXPECT_EQ(KeyboardKeyColours[k].Hue, 1.0f);
  // Video and audio settings from the settings and the devices.
  EXPECT_EQ(Text(459), "OpenGL, 1920 x 1080 @ 32-bit");
  EXPECT_EQ(Text(460), "Driver: 3) OpenGL");  // as the selector's own steps write it
  EXPECT_EQ(Text(467), "Zoom: 1.4x");
  EXPECT_EQ(C(467)->Text.Selected, 4);  // counted from the least zoom, 0.6
  EXPECT_EQ(Text(483), "1) [No Device]");
  EXPECT_EQ(Text(486), "Playback buffer: 10ms");
  EXPECT_EQ(C(496)->State.Disabled, -1);  // auto-connect off
  // Tuning editor: the key editors wait for a key, the reference is 440 Hz.
  for (int32_t id : {519, 526}) EXPECT_EQ(C(id)->State.Disabled, -1) << Id(id);
  EXPECT_EQ(C(517)->State.Disabled, 0);
  EXPECT_EQ(Text(519), TuningGetNoteName(EditedTuning, 0));
  EXPECT_EQ(C(517)->UserPointer, &ReferenceFrequencyValue);
  EXPECT_FLOAT_EQ(ReferenceFrequencyValue.Base.value, 440.0f);
  EXPECT_EQ(ReferenceFrequencyValue.OnChange, DummyHook);
  EXPECT_EQ(Text(533), "Base: 5");
  // About window: transparent logo without the file.
  EXPECT_EQ(Text(539), "v1.8.13  (2026/02/18)");
  ASSERT_GE(C(537)->LayerCount, 1);
  ASSERT_NE(C(537)->Layers[0], nullptr);
  EXPECT_EQ(C(537)->Layers[0]->width, 720);
  // Masks and hints after the finish.
  EXPECT_EQ(C(117)->EventMask, 0);  // a pane without a callback
  EXPECT_EQ(C(540)->EventMask, 11);
  EXPECT_EQ(Tip(447), "Board number: select by sliding or clicking up or down.");
  EXPECT_EQ(Tip(534), "");
}

TEST_F(GroupsBTest, ALogoDeclaringAHugeSizeIsLeftOutAndTheBuildGoesOn) {
  // A 69-byte PNG in the logo's place declaring 60000 x 60000 pixels.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tarvelo_logo_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  {
    std::ofstream out(dir / kLogoFileName, std::ios::binary);
    out << std::string(
        "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\xea\x60\x00"
        "\x00\xea\x60\x01\x00\x00\x00\x00\xa8\xa9\x48\xef\x00\x00\x00\x0c\x49\x44\x41\x54\x78"
        "\x9c\x63\x00\x00\x00\x01\x00\x01\x00\x00\x00\xf2\xc7\x79\x25\x00\x00\x00\x00\x49\x45"
        "\x4e\x44\xae\x42\x60\x82",
        69);
  }
  platform::SetProgramFolderOverride(dir.string());
  uitest::Reports().clear();
  QUARLE_BASICS::MessageHook = uitest::Capture;
  const int32_t built = BuildInterface(1.0f);
  QUARLE_BASICS::MessageHook = nullptr;
  std::filesystem::remove_all(dir);
  ASSERT_EQ(built, 0);
  ASSERT_TRUE(PlaneBuilt());
  // The logo's place stays, see-through; what follows it is built.
  ASSERT_GE(C(537)->LayerCount, 1);
  ASSERT_NE(C(537)->Layers[0], nullptr);
  EXPECT_EQ(C(537)->Layers[0]->width, 720);
  EXPECT_EQ(C(537)->Layers[0]->pixels[0] >> 24, 0u);
  EXPECT_EQ(Text(539), "v1.8.13  (2026/02/18)");
  int32_t said = 0;
  for (const auto& [text, level] : uitest::Reports())
    said += level == 2 && text.find(kLogoFileName) != std::string::npos &&
            text.find("declares 60000 x 60000 pixels, more than the 4096 x 2160") != std::string::npos;
  EXPECT_EQ(said, 1);
}

TEST_F(GroupsBTest, ReleaseTypeOtherWindowsAndZoomTwo) {
  std::strcpy(ReleaseType, "bEtA");
  MonitorsSpanned = 2;
  DesktopWidth = 1280;
  Window(2560, 1080);
  ASSERT_EQ(BuildInterface(1.0f), 0);
  std::strcpy(ReleaseType, "");
  DesktopWidth = 0;
  ASSERT_TRUE(PlaneBuilt());
  EXPECT_EQ(Text(539), "v1.8.13 Beta  (2026/02/18)");
  EXPECT_EQ(Text(464), "x2");
  EXPECT_EQ(C(464)->Text.Selected, 1);
  ExpectRect(139, 0, 50, 2560 - 465, 1030);
  ExpectRect(443, 0, 50, 51, 1030);
  ExpectRect(455, 1280, 0, 1280, 45);  // the strip moves to the second monitor
  // A tall window: all 22 board keys, each as tall as the room allows.
  MonitorsSpanned = 1;
  Window(1920, 1440);
  ASSERT_EQ(BuildInterface(1.0f), 0);
  EXPECT_EQ(C(444)->H, 22 * ((1340 - 216) / 22));
  // Base 5 shows its 10 keys in that room.
  EXPECT_EQ(OctaveBoardVisibleKeys.Load(), 10);
  EXPECT_EQ(OctaveKeyHeight.Load(), C(444)->H / 10);
  // Zoom two on a large window: the same ids, doubled sizes.
  Zoom(2);
  Window(2560, 1440);
  ASSERT_EQ(BuildInterface(1.0f), 0);
  EXPECT_EQ(V::ControlTableCount(), 542);
  ExpectRect(536, 820, 198, 920, 1044);
  EXPECT_EQ(C(142 + 3 * 18)->W, 1032);  // 516 at zoom 1
}

TEST_F(GroupsBTest, AFailedPlaneLeavesNoTypePointingAtAnOldBox) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  ASSERT_EQ(ModuleCatalog[5].BoxControl.Load(), 142 + 3 * 5);
  BuildContext ctx;
  const int32_t before = V::ControlTableCount();
  platform::FailNextMutexCreations(1);  // SCOPE cannot get its locks
  EXPECT_EQ(BuildPlaneAndTemplates(ctx), -26);
  EXPECT_EQ(V::ControlTableCount(), before + 1);
  for (int32_t t = 0; t < kModuleTypeCount; ++t) EXPECT_EQ(ModuleCatalog[t].BoxControl.Load(), 0) << t;
}

TEST_F(GroupsBTest, AFailedFirstControlLeavesTheGroupsTablesAlone) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  BuildContext ctx;
  V::UiIndex[kUiTNG] = 0;
  V::WindowList[kWinTNG] = 0;
  const int32_t before = V::ControlTableCount();
  platform::FailNextMutexCreations(1);
  EXPECT_EQ(BuildTuningEditor(ctx), -26);
  EXPECT_EQ(V::ControlTableCount(), before + 1);  // the failed window, hidden
  EXPECT_EQ(V::UiIndex[kUiTNG], 0);
  EXPECT_EQ(V::WindowList[kWinTNG], 0);
  EXPECT_EQ(C(before)->Colour, 0u);
}

}  // namespace
}  // namespace buildtest
