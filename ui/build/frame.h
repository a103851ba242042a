// The interface construction frame: what every group builder shares.
//
// BuildInterface (ui/build/build.cpp) destroys the old control tree and creates
// the whole interface again in one fixed order, so control ids equal creation
// order and the handlers may rely on them. Each group of controls (a window, a
// panel or a page) is one function `int32_t BuildXxx(BuildContext&)` that
// creates its controls in table order and returns 0, or the first creation
// failure, at which the whole build stops at once.
//
// Which file holds which group:
//   ui/build/groups_a_bar.cpp     BuildRootAndSystemBar, BuildDialogBox
//   ui/build/groups_a_panel.cpp   BuildMainPanel, BuildParameterPage,
//                                 BuildModulePages, BuildDevicesAndScalesPages
//   ui/build/groups_a_browser.cpp BuildBrowserPane, BuildStatusBar
//   ui/build/groups_b_*.cpp       BuildFileBrowser, BuildMidiControllerPage,
//                                 BuildPlaneAndTemplates, BuildKeyboardsAndPower,
//                                 BuildVideoSettings, BuildAudioSettings,
//                                 BuildTuningEditor, BuildTuningScaleGenerator,
//                                 BuildAboutWindow
//   ui/build/groups_b_stubs.cpp   empty stand-ins (return 0) for the groups_b
//                                 functions not written yet; delete each stub
//                                 when its group lands.
//
// Sizes: u = UiUnit, b = BorderWidth; the derived quantities below are set at
// the start of each build, right after the old controls are destroyed.
#pragma once
#include <cstdint>
#include <string>

#include "basics/shared_word.h"
#include "ui/build/callbacks.h"
#include "visuals/controls.h"

namespace Tarvelo {

using QUARLE_VISUALS::ControlRecord;
using QUARLE_VISUALS::DrawCallbackFn;
using QUARLE_VISUALS::EventCallbackFn;

// --- Size quantities (pixels unless named units) ----------------------------
// Set by the build, which runs once before the video thread starts; handlers
// and draws read them after.
// one thread: start-up
extern int32_t WindowWidth;      // the root's size: the graphics window
extern int32_t WindowHeight;
extern int32_t WindowUnitsWide;  // floor(WindowWidth / u)
extern int32_t WindowUnitsHigh;  // floor(WindowHeight / u)
extern int32_t MonitorUnits;     // nearbyint(WindowUnitsWide / MonitorsSpanned)
extern int32_t TextStep;         // floor(DefaultTextSize / 10)
extern int32_t ListRowHeight;    // 6u
extern int32_t ListTextSize;     // nearbyint(6u - 1.5u)
extern int32_t ToolsHeight;      // u x floor(0.39 x (WindowUnitsHigh - 9)), set with PANEL
// Read by the octave-board and keyboard draws; 9u each from the build on.
extern int32_t OctaveKeyWidth;  // one thread: start-up, set by the build
// Written by the interface thread only (the build, LayOutOctaveBoard: taller
// keys when the base has fewer than fit); read by the interface (the board's
// handler). The board's draw reads the layout whole (OctaveBoardLayoutWord).
extern QUARLE_BASICS::Shared<int32_t> OctaveKeyHeight;
extern int32_t KeyboardKeySize;  // one thread: start-up, set by the build

// The synth plane's pan offset; reset to (0, 0) by every build.
// one thread: value
struct PlaneOffsetRecord {
  int32_t x = 0;
  int32_t y = 0;
};
extern PlaneOffsetRecord PlaneOffset;  // one thread: interface, the plane's pan and reset, a load

// Ids of the window tabs, indexed by the tab's tag (1 About, 3 video settings,
// 4 audio settings, 5 tuning editor); OnWindowTab reads them.
// one thread: start-up, set by the build
extern int32_t WindowTabIds[6];
extern int32_t& AboutTabId;
extern int32_t& VideoTabId;
extern int32_t& AudioTabId;
extern int32_t& TuningTabId;

// Visualization-mode colours of STB_DM, by mode 0..4 (OnVisualizationMode uses
// the same table).
extern const uint32_t VisualizationModeColours[5];

// The 16 captions read once per build (messages 286 to 301), index = message -
// 286. Valid only while a build runs; emptied on every exit of the build.
constexpr int32_t kInterfaceCaptionFirst = 286;
constexpr int32_t kInterfaceCaptionCount = 16;
extern std::string InterfaceCaptions[kInterfaceCaptionCount];  // one thread: start-up, the build's
// The caption of message n (286..301); "" outside.
const std::string& Caption(int32_t n);

// The size values every formula uses, read once per build.
int32_t U();           // UiUnit
int32_t B();           // BorderWidth
int32_t IconSizePx();  // IconSize (the icon font's glyph size)

// --- UiIndex slots ------------------------------------------------------------
// Slot numbers of the control index, named after the control they hold.
enum UiSlot : int32_t {
  kUiFRE = 0, kUiWLOAD = 1, kUiMicMP = 2, kUiMicM = 3, kUiPlayMP = 4, kUiPlayM = 5,
  kUiRec = 6, kUiVS_RESOLUTION = 7, kUiVS_ZRESET = 8, kUiSTB_DM = 9,
  kUiSTB_CP = 10, kUiCTRL_INFO = 11, kUiMB = 12, kUiDB = 13, kUiTOOLS = 14, kUiPGV = 15,
  kUiPSC = 16, kUiPSCL = 17, kUiPDOM = 18, kUiENV = 19,
  kUiPOLY = 20, kUiPLAY = 21, kUiMFP = 22, kUiFBS = 25, kUiMTLBL = 26, kUiMODTAB0 = 27,
  kUiPARAM = 28, kUiPLIST = 29,
  kUiFAD_PP = 30, kUiPVM = 31, kUiSHAPE = 32, kUiSLIST = 33, kUiPGRAPH = 34, kUiSAMPLE = 35,
  kUiWLIST = 37, kUiFILTER = 38, kUiFLIST = 39,
  kUiFGRAPH = 40, kUiFWS_WINDOW = 41, kUiFWS_SIZE = 42, kUiFKS = 43, kUiMELODY = 44,
  kUiMLIST = 45, kUiDEVICES = 46, kUiKBDEVS = 47, kUiMMIN = 48, kUiMMAX = 49,
  kUiMRES = 50, kUiKBCH = 51, kUiMIDI0 = 52, kUiMIDI1 = 53, kUiMIDI2 = 54, kUiMCC = 55,
  kUiMIDICCCT = 56, kUiMIDICCCH = 57, kUiMIDIIN_DATA = 58, kUiMIDIDEVS = 59,
  kUiTABMSG = 60, kUiLSORDER = 61, kUiFB = 62, kUiFILES = 63, kUiBDRV = 64, kUiMSGT1 = 65,
  kUiMSGB = 66, kUiMSGS = 67, kUiLIBT1 = 68, kUiLIB_MODULES = 69,
  kUiREFM = 70, kUiLIB_SAMPLES = 71, kUiSLIBC = 72, kUiSAM_LIBRARY = 73, kUiTABSES = 74,
  kUiSNEW = 75, kUiBB = 77, kUiKB = 78, kUiBBLOCK = 79,
  kUiKBLOCK = 80, kUiBBIK = 81, kUiKBIK = 82, kUiSTB_SHB = 83, kUiKBPOS = 84, kUiVS_INFO = 85,
  kUiAS_INFO = 86, kUiAS_IINFO = 87, kUiAS_OBS = 88, kUiVS_RESOLUTION2 = 89,
  kUiVS_NBMON = 90, kUiTNG = 91, kUiTNGNAME = 92, kUiTNGSCLD = 93, kUiTNGSCL = 94,
  kUiTNGNBL = 95, kUiTNG_RFK = 97, kUiFAV_RK = 98, kUiFAV_AK = 99,
  kUiFAE_KR = 100, kUiTNGSS = 101, kUiSAM_PATTERNS = 102, kUiSCALES = 103, kUiSCALELIST = 104,
  kUiTSTB = 106, kUiSOUT = 107, kUiSTB_XYPOS = 108, kUiSTB_FPS = 109,
  kUiPPDISP = 110, kUiSCOPE = 111, kUiAS_UD0 = 112,
  kUiSlotCount = 113,
};

// WindowList slots.
enum WindowSlot : int32_t {
  kWinSYSBAR = 0, kWinABOUT = 1, kWinVS = 3, kWinAUDIO = 4, kWinTNG = 5, kWinSYNTH = 6,
  kWinSTB = 7, kWinPANEL = 9, kWinBBGROUP = 10, kWinKBGROUP = 11,
};

// Key codes of the shortcut table: characters below 256, 256 + scan code above.
constexpr int32_t kKeyCtrlC = 3, kKeyCtrlL = 12, kKeyEnter = 13, kKeyCtrlN = 14,
                  kKeyCtrlP = 16, kKeyCtrlR = 18, kKeyCtrlS = 19, kKeyCtrlX = 24,
                  kKeyEsc = 27, kKeyAltM = 256 + 50, kKeyDel = 256 + 83;

// --- The build's running state ---------------------------------------------------
// Ids of the containers later groups hang on, and values one group hands to
// the next. Filled as the groups run.
// one thread: interface, the build's
struct BuildContext {
  float scale = 1.0f;     // BuildInterface's scale (module-box offsets)
  int32_t root = 0;       // "TARVELO"
  int32_t sysbar = 0;     // "SYSBAR"
  int32_t panel = 0;      // "PANEL"
  int32_t tools = 0;      // "TOOLS"
  int32_t browser = 0;    // "BROWSER"
  // The message group's row count R and shift s; the pane's next group (FB and
  // the others) lies at y = paneY = 12u + 2s inside BROWSER.
  int32_t paneRows = 0;
  int32_t paneShift = 0;
  int32_t paneY = 0;
  int32_t last = -1;      // id of the last control created
};

// --- One table row -----------------------------------------------------------
// The columns of a group table. x and y are relative to the parent.
// one thread: value
struct ControlRow {
  int32_t parent = 0;
  int32_t x = 0, y = 0, w = 0, h = 0;
  EventCallbackFn event = nullptr;
  DrawCallbackFn draw = nullptr;
  bool shown = true;
  int32_t mask = 11;
  const char* id = "";
  std::string tooltip;
};

// Creates the control of the row (CreateControl) and stores its id in
// ctx.last and *newId. 0, or CreateControl's failure code: the caller returns
// it at once (no look, table entry or later control may follow).
int32_t MakeControl(BuildContext& ctx, const ControlRow& row, int32_t* newId = nullptr);
// The same with the columns as arguments.
int32_t MakeControl(BuildContext& ctx, int32_t parent, int32_t x, int32_t y, int32_t w,
                    int32_t h, EventCallbackFn event, DrawCallbackFn draw, bool shown,
                    int32_t mask, const char* id, const std::string& tooltip,
                    int32_t* newId = nullptr);

// The record of a control (null when it does not exist).
ControlRecord* Ctl(int32_t id);

// --- Looks (results ignored by the build, as the frame allows) ------------------
// Glyph button: the icon-font glyph centred in the control less 2b each side
// (w, h 0), blit mode 2. size -1 means IconSize.
int32_t GlyphLayer(int32_t id, uint8_t glyph, int32_t size = -1, uint32_t colour = 0xFFFFFFFF,
                   int32_t dx = 0, int32_t dy = 0, int32_t w = 0, int32_t h = 0);
// Label: the text in the control's text colour; align 1 left, 2 centre, 3 right.
int32_t TextLayer(int32_t id, const std::string& text, int32_t size, int32_t align = 2,
                  int32_t blit = 2, int32_t w = 0, int32_t h = 0);
// List of R rows: list word -1, then SetListRows (ListTextSize, R, ListRowHeight).
int32_t ListLook(int32_t id, int32_t rows);
// Selector caption: selected item, then the caption layer leaving room for the
// two arrows (w = control width - 2b - 2 x IconSize, centred).
int32_t SelectorLook(int32_t id, int32_t item, const std::string& caption);

// Fields set directly after creation.
void SetColour(int32_t id, uint32_t argb);
void SetTag(int32_t id, int64_t tag);
void SetOn(int32_t id, int64_t on);
void SetMode(int32_t id, int64_t mode);  // the state word after the on word
void SetNoHit(int32_t id);
void SetClip(int32_t id);
void SetTextColour(int32_t id, uint32_t argb);
void SetSelected(int32_t id, int32_t item);
void SetReversed(int32_t id);
void StartDisabled(int32_t id);
void SetDisabledWord(int32_t id, int64_t word);
// The text field's list word, edit word and third flag word (-1 on lists, on
// the dialog's edit line and on the keyboard): the arrow-key flag follows from
// the first two.
int64_t& ListWord(ControlRecord* c);
int64_t& EditWord(ControlRecord* c);
int64_t& ThirdFlagWord(ControlRecord* c);

// Table entries.
void SetUiIndex(int32_t slot, int32_t id);
int32_t UiId(int32_t slot);  // 0 when the index does not exist
void SetWindowSlot(int32_t slot, int32_t id);
void SetShortcut(int32_t key, int32_t id);

// nearbyint in double precision (ties to even) and floor of a double.
int32_t Nearby(double v);
int32_t Floor(double v);

// --- The groups, in build order ----------------------------------------------
// Group A (ui/build/groups_a_*.cpp).
int32_t BuildRootAndSystemBar(BuildContext& ctx);      // ids 0-21
int32_t BuildDialogBox(BuildContext& ctx);             // 22-26
int32_t BuildMainPanel(BuildContext& ctx);             // 27-54
int32_t BuildParameterPage(BuildContext& ctx);         // 55-70
int32_t BuildModulePages(BuildContext& ctx);           // 71-93
int32_t BuildDevicesAndScalesPages(BuildContext& ctx); // 94-98
int32_t BuildBrowserPane(BuildContext& ctx);           // 99-116
// Group B (ui/build/groups_b_*.cpp).
int32_t BuildFileBrowser(BuildContext& ctx);           // 117-130
int32_t BuildMidiControllerPage(BuildContext& ctx);    // 131-138
int32_t BuildPlaneAndTemplates(BuildContext& ctx);     // 139-141, templates 142-433
// (the live modules' blocks come here, made by BuildInterface itself)
int32_t BuildStatusBar(BuildContext& ctx);             // group A: 434-442
int32_t BuildKeyboardsAndPower(BuildContext& ctx);     // 443-455
int32_t BuildVideoSettings(BuildContext& ctx);         // 456-477
int32_t BuildAudioSettings(BuildContext& ctx);         // 478-497
int32_t BuildTuningEditor(BuildContext& ctx);          // 498-530
int32_t BuildTuningScaleGenerator(BuildContext& ctx);  // 531-535
// The About window, including the two text layers of its last label.
int32_t BuildAboutWindow(BuildContext& ctx);           // 536-541

// --- The build ------------------------------------------------------------------
// Builds the whole interface: 0, or the first failing result (the controls made
// so far stay; InterfaceReady is not set). scale multiplies the saved offsets of
// the live modules' blocks from SOUT.
int32_t BuildInterface(float scale);
// Installs BuildInterface as the start-up's builder.
void InstallBuildInterface();

}  // namespace Tarvelo
