// The later groups: browser panes, MIDI page, plane and module templates, key
// windows, settings windows, tuning editor and About window. Ids and slots the
// handlers rely on, positions at zoom 1 on a 1920 x 1080 window, the starting
// fields taken from the settings, and the failure rule inside the groups.
#include <cmath>
#include <cstring>

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
    Settings.DisplayMidiInput = -1;
    QUARLE_BASICS::DisplayDriverIndex = 2;
    TimeBaseIndex = 2;
    CurrentKeyboardIndex = 0;
    KeyboardStates[0]->KeyOffset = 0;
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

TEST_F(GroupsBTest, IdsSlotsAndWindowsAtTheStartUpBuild) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  EXPECT_EQ(V::ControlTableCount(), 542);
  EXPECT_EQ(Id(117), "FB");
  EXPECT_EQ(Id(130), "SAM");
  EXPECT_EQ(Id(139), "SCOPE");
  EXPECT_EQ(Id(142), "MOD");
  EXPECT_EQ(Id(270), "CMOD");
  EXPECT_EQ(Id(271), "MODOUT");  // type 0 has no input port
  EXPECT_EQ(Id(433), "MODOUT");
  EXPECT_EQ(Id(434), "STB_WIN");
  EXPECT_EQ(Id(455), "PPDISP");
  EXPECT_EQ(Id(477), "VS_LNRES");
  EXPECT_EQ(Id(497), "AS_UD1");
  EXPECT_EQ(Id(530), "TNGSSR");
  EXPECT_EQ(Id(535), "TSC");
  EXPECT_EQ(Id(541), "BY");
  const std::pair<int32_t, int32_t> slots[] = {
      {7, 463},   {8, 469},   {55, 131},  {56, 133},  {57, 132},  {58, 138},  {59, 134},
      {62, 117},  {63, 122},  {64, 121},  {68, 124},  {69, 123},  {70, 126},  {71, 128},
      {72, 129},  {73, 130},  {77, 444},  {78, 449},  {79, 445},  {80, 451},  {81, 446},
      {82, 450},  {84, 454},  {85, 459},  {86, 482},  {87, 490},  {88, 486},  {89, 463},
      {90, 464},  {91, 498},  {92, 504},  {93, 505},  {94, 506},  {95, 508},  {97, 519},
      {98, 525},  {99, 522},  {100, 526}, {101, 507}, {102, 527}, {106, 533}, {107, 141},
      {110, 455}, {111, 139}, {112, 496}};
  for (const auto& [slot, id] : slots) EXPECT_EQ(V::UiIndex[slot], id) << "slot " << slot;
  const std::pair<int32_t, int32_t> windows[] = {{1, 536},  {3, 456},  {4, 478}, {5, 498},
                                                 {6, 140},  {10, 443}, {11, 448}};
  for (const auto& [slot, id] : windows) EXPECT_EQ(V::WindowList[slot], id) << "window " << slot;
  // Handlers reach these by relative ids.
  EXPECT_EQ(Id(V::UiIndex[kUiREFM] + 1), "LIBM");
  EXPECT_EQ(Id(V::UiIndex[kUiMIDIDEVS] + 1), "MIDICC");
  EXPECT_EQ(Id(V::UiIndex[kUiAS_INFO] + 3), "AS_RESET");
  EXPECT_EQ(Id(V::UiIndex[kUiAS_IINFO] + 3), "AS_IRES");
  EXPECT_EQ(Id(V::UiIndex[kUiAS_UD0] + 1), "AS_UD1");
  EXPECT_EQ(Id(V::UiIndex[kUiFAV_AK] - 2), "FAD_AK");
  EXPECT_EQ(Id(V::UiIndex[kUiFAV_RK] - 1), "FAE_RK");
  for (const char* set : {"VS_DRIVER_SET", "VS_ZSET", "AS_SET", "AS_ISET", "VS_LNSET"}) {
    int32_t id = 0;
    for (int32_t i = 456; i < 498 && !id; ++i)
      if (Id(i) == set) id = i;
    ASSERT_GT(id, 0) << set;
    EXPECT_TRUE(V::ControlAt(id - 1)->W > V::ControlAt(id)->W) << set;  // a selector
    EXPECT_NE(Id(id + 1).find("RES"), std::string::npos) << set;
  }
  EXPECT_EQ(TuningTabId, 453);
  EXPECT_EQ(V::DefaultKeyTarget, 449);
  EXPECT_EQ(V::ActiveEditField(), 449);
}

TEST_F(GroupsBTest, PositionsAtZoomOne) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  // Panes: R = 13 and s = 15 on 1080 lines, 400 pixels of tools.
  ExpectRect(117, 8, 90, 445, 471);
  ExpectRect(131, 8, 90, 445, 471);
  ExpectRect(122, 0, 35, 445, 396);
  ExpectRect(129, 220, 0, 225, 35);  // 219.5 to even
  ExpectRect(132, 0, 0, 147, 35);
  ExpectRect(133, 147, 0, 298, 35);
  ExpectRect(134, 0, 35, 445, 336);
  ExpectRect(136, 0, 371, 35, 30);
  ExpectRect(138, 0, 406, 385, 30);
  // Plane and output port.
  ExpectRect(139, 0, 100, 1455, 980);
  ExpectRect(140, 0, 100, 1455, 980);
  ExpectRect(141, 748, 850, 50, 40);  // 747.5 to even
  // Key windows: 16 keys of 45 on the board, 25 on the keyboard.
  ExpectRect(443, 0, 100, 51, 980);
  EXPECT_EQ(OctaveBoardVisibleKeys, 16);
  ExpectRect(444, 3, 77, 45, 720);
  ExpectRect(447, 3, 887, 45, 90);
  ExpectRect(448, 56, 998, 1399, 82);
  EXPECT_EQ(KeyboardVisibleKeys, 25);
  ExpectRect(449, 46, 3, 1125, 45);
  ExpectRect(453, 1351, 3, 45, 45);  // ends one border inside the window
  ExpectRect(454, 3, 48, 1393, 31);
  ExpectRect(455, 0, 50, 1455, 45);
  // Settings windows hang under their tabs.
  const V::ControlRecord* vstab = C(VideoTabId);
  ASSERT_NE(vstab, nullptr);
  EXPECT_EQ(C(456)->X, vstab->X);
  EXPECT_EQ(C(456)->Y, vstab->Y + vstab->H);
  EXPECT_EQ(C(456)->W, 630);
  EXPECT_EQ(C(478)->H, 420);
  ExpectRect(464, 395, 80, 100, 35);
  ExpectRect(486, 10, 110, 485, 35);
  // Tuning window: right edge on the tab's, bottom on its top.
  ExpectRect(498, 452, 231, 1000, 770);
  EXPECT_EQ(C(517)->W, 549);
  EXPECT_EQ(C(522)->W, 367);
  EXPECT_EQ(C(525)->W, 367);
  ExpectRect(527, 8, 305, 914, 306);
  ExpectRect(531, 15, 695, 970, 60);
  EXPECT_EQ(C(532)->W, 549);
  EXPECT_EQ(C(533)->W, 296);
  ExpectRect(534, 865, 10, 45, 40);
  ExpectRect(535, 915, 10, 45, 40);
  // About: 820 x 594, centred with halves to even.
  ExpectRect(536, 550, 243, 820, 594);
  ExpectRect(541, 50, 479, 720, 40);
}

TEST_F(GroupsBTest, ModuleTemplates) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  const int32_t u = 5, b = 3;
  for (int32_t t = 0; t < kModuleTypeCount; ++t) {
    const ModuleRecord& type = ModuleCatalog[t];
    const int32_t box = 142 + 3 * t;
    ASSERT_EQ(type.BoxControl, box) << t;
    V::ControlRecord* c = C(box);
    EXPECT_EQ(c->Visible.load(), 0);
    EXPECT_EQ(C(box + 1)->Visible.load(), 0);   // PMOD
    EXPECT_EQ(C(box + 2)->Visible.load(), -1);  // CMOD
    EXPECT_EQ(c->W, u * type.BoxWidthUnits + 2 * b);
    EXPECT_EQ(c->Colour, CategoryColours[type.Category]);
    EXPECT_EQ(ModuleBoxCaptionOffset(c), type.PortCount > 0 ? 0 : -(7 * u + 1)) << t;
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
  // Colour of an audio-input box: a darker translucent fill and a half-bright shade.
  EXPECT_EQ(ModuleBodyFill(0xFFAA0000), 0xAA380000u);
  EXPECT_EQ(ModuleBodyShade(0xFFAA0000), 0xFF550000u);
}

TEST_F(GroupsBTest, StartingFieldsFollowTheSettings) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  // MIDI page and sample library.
  EXPECT_EQ(C(136)->Text.Selected, 1);
  EXPECT_EQ(static_cast<int64_t>(C(136)->Tag), 5);
  EXPECT_EQ(C(133)->Text.Selected, 1);
  EXPECT_EQ(C(132)->State.Disabled, -1);
  EXPECT_EQ(C(129)->State.Disabled, -1);
  EXPECT_EQ(C(122)->Text.Reversed, -1);
  EXPECT_EQ(C(124)->State.On, -1);
  EXPECT_EQ(C(127)->Visible.load(), 0);  // LIBM waits for its tab
  // Keyboards: position p + 8N, colours all {1, 1, 1}.
  EXPECT_EQ(C(454)->Text.Selected, 96);
  EXPECT_EQ(C(449)->Text.KeyReleases, -1);
  EXPECT_EQ(C(449)->LayerCount, KeyboardVisibleKeys);
  EXPECT_EQ(C(444)->LayerCount, 22);
  ASSERT_NE(KeyboardKeyColours, nullptr);
  for (int32_t k = 0; k < KeyboardVisibleKeys; ++k) {
    EXPECT_EQ(KeyboardKeyColours[k].Hue, 1.0f);
    EXPECT_EQ(KeyboardKeyColours[k].Value, 1.0f);
  }
  EXPECT_EQ(C(446)->State.On, -1);
  EXPECT_EQ(Text(447), "#1");
  // Video settings.
  EXPECT_EQ(Text(459), "OpenGL, 1920 x 1080 @ 32-bit");
  EXPECT_EQ(Text(460), "Driver 3) OpenGL");
  EXPECT_EQ(C(460)->Text.Selected, 2);
  EXPECT_EQ(Text(464), "x1");
  EXPECT_EQ(C(464)->Text.Selected, 0);
  EXPECT_EQ(Text(467), "Zoom: 1.4x");
  EXPECT_EQ(C(467)->Text.Selected, 7);
  EXPECT_EQ(C(470)->Text.Selected, 1);
  EXPECT_EQ(Text(474), "Language:");
  EXPECT_EQ(Text(475), "English");
  // Audio settings.
  EXPECT_EQ(Text(482), "32-bit Stereo @ 48 kHz");
  EXPECT_EQ(Text(483), "1) [No Device]");
  EXPECT_EQ(C(486)->Text.Selected, 9);
  EXPECT_EQ(Text(486), "Playback buffer: 10ms");
  EXPECT_EQ(C(494)->Text.Selected, 0);
  EXPECT_EQ(C(494)->State.Disabled, 0);
  EXPECT_EQ(C(496)->State.Disabled, -1);  // auto-connect off
  EXPECT_EQ(C(497)->State.Disabled, -1);
  // Tuning editor: the key editors wait for a key, the reference is 440 Hz.
  for (int32_t id : {519, 520, 521, 522, 523, 524, 525, 526})
    EXPECT_EQ(C(id)->State.Disabled, -1) << Id(id);
  EXPECT_EQ(C(517)->State.Disabled, 0);
  EXPECT_EQ(Text(508), "12 Keys");
  EXPECT_EQ(Text(519), TuningGetNoteName(EditedTuning, 0));
  EXPECT_EQ(C(517)->UserPointer, &ReferenceFrequencyValue);
  EXPECT_EQ(C(515)->UserPointer, &ReferenceFrequencyValue);
  EXPECT_EQ(C(520)->UserPointer, &AbsoluteKeyValue);
  EXPECT_EQ(C(525)->UserPointer, &RelativeKeyValue);
  EXPECT_EQ(ReferenceFrequencyValue.UnitFamily, 2);
  EXPECT_EQ(ReferenceFrequencyValue.Unit, 2);
  EXPECT_FLOAT_EQ(ReferenceFrequencyValue.Base.value, 440.0f);
  EXPECT_EQ(AbsoluteKeyValue.UnitFamily, 0);
  EXPECT_EQ(C(527)->Text.Selected, 0);
  EXPECT_EQ(Text(533), "Base: 5");
  EXPECT_EQ(C(533)->Text.Selected, 2);
  // About window.
  EXPECT_EQ(Text(538), "6 4 - b i t    S T E R E O");
  EXPECT_EQ(Text(539), "v1.8.13  (2026/02/18)");
  EXPECT_EQ(static_cast<int64_t>(C(537)->Tag), 2);
  ASSERT_GE(C(537)->LayerCount, 1);
  ASSERT_NE(C(537)->Layers[0], nullptr);  // transparent without the logo file
  EXPECT_EQ(C(537)->Layers[0]->width, 720);
  EXPECT_EQ(*platform::ImagePixel(C(536)->Layers[0], 0, 0), 0xC832323Cu);
  EXPECT_EQ(C(541)->LayerCount, 2);
}

TEST_F(GroupsBTest, MasksAndTooltipsAfterTheFinish) {
  Cb.OnAboutLink = Dummy;
  Cb.OnToggleSwitch = Dummy;
  Cb.OnReferenceFrequencyValue = DummyHook;
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  EXPECT_EQ(C(117)->EventMask, 0);  // a pane without a callback
  EXPECT_EQ(C(538)->EventMask, 0);  // a label
  EXPECT_EQ(C(540)->EventMask, 11);
  EXPECT_EQ(C(494)->EventMask, 11);
  EXPECT_EQ(ReferenceFrequencyValue.OnChange, DummyHook);
  EXPECT_EQ(Tip(129), "Sample library - channels to load: select by sliding or clicking left or right.");
  EXPECT_EQ(Tip(447), "Board number: select by sliding or clicking up or down.");
  EXPECT_EQ(Tip(533),
            "Number base of the octave board multiplier.: select by sliding or clicking left or "
            "right.");
  EXPECT_EQ(Tip(445), "Lock keys : ON = stay active when released | OFF = unlock all");
  EXPECT_EQ(Tip(534), "");
}

TEST_F(GroupsBTest, ReleaseTypeAndOtherWindows) {
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
  EXPECT_EQ(OctaveBoardVisibleKeys, 22);
  EXPECT_EQ(OctaveKeyHeight, (1340 - 216) / 22);
  EXPECT_EQ(C(444)->H, 22 * OctaveKeyHeight);
}

TEST_F(GroupsBTest, RebuildAtZoomTwo) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  Zoom(2);
  Window(2560, 1440);
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  EXPECT_EQ(V::ControlTableCount(), 542);
  ExpectRect(536, 820, 198, 920, 1044);
  EXPECT_EQ(C(498)->W, 2000);
  EXPECT_EQ(ModuleCatalog[18].BoxControl, 142 + 3 * 18);
  EXPECT_EQ(C(142 + 3 * 18)->W, 10 * ModuleCatalog[18].BoxWidthUnits + 6 * 2);
}

TEST_F(GroupsBTest, AFailedPlaneLeavesNoTypePointingAtAnOldBox) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_TRUE(PlaneBuilt());
  ASSERT_EQ(ModuleCatalog[5].BoxControl, 142 + 3 * 5);
  BuildContext ctx;
  const int32_t before = V::ControlTableCount();
  platform::FailNextMutexCreations(1);  // SCOPE cannot get its locks
  EXPECT_EQ(BuildPlaneAndTemplates(ctx), -26);
  EXPECT_EQ(V::ControlTableCount(), before + 1);
  for (int32_t t = 0; t < kModuleTypeCount; ++t) EXPECT_EQ(ModuleCatalog[t].BoxControl, 0) << t;
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
