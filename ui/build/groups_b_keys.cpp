// The octave-board window at the left edge, the virtual keyboard window along
// the bottom and the output power strip at the top.
#include <cmath>
#include <cstdlib>
#include <string>

#include "app/startup.h"
#include "app/state/settings.h"
#include "basics/messages.h"
#include "engine/keyboard.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"

namespace Tarvelo {

QUARLE_BASICS::Shared<int32_t> OctaveBoardVisibleKeys{0};
QUARLE_BASICS::Shared<uint64_t> OctaveBoardLayoutWord{0};
int32_t OctaveBoardTop = 0;
int32_t KeyboardVisibleKeys = 0;
int32_t KeyboardLeft = 0;
KeyColour* KeyboardKeyColours = nullptr;

void FreeKeyboardKeyColours() {
  std::free(KeyboardKeyColours);
  KeyboardKeyColours = nullptr;
}

// Key height in the low 32 bits, then the key count and the base index in 16
// bits each (a board has at most kOctaveBoardMaxKeys keys, three bases).
uint64_t PackOctaveBoardLayout(const OctaveBoardLayout& layout) {
  return uint64_t{static_cast<uint32_t>(layout.KeyHeight)} |
         uint64_t{static_cast<uint16_t>(layout.Keys)} << 32 |
         uint64_t{static_cast<uint16_t>(layout.BaseIndex)} << 48;
}

OctaveBoardLayout OctaveBoardLayoutNow() {
  const uint64_t word = OctaveBoardLayoutWord.Load();
  return OctaveBoardLayout{static_cast<int32_t>(static_cast<uint32_t>(word)),
                           static_cast<int32_t>(static_cast<uint16_t>(word >> 32)),
                           static_cast<int32_t>(static_cast<uint16_t>(word >> 48))};
}

void LayOutOctaveBoard(int32_t boardHeight) {
  int32_t baseIndex = TimeBaseIndex.Load();
  if (baseIndex < 0 || baseIndex > 2) baseIndex = 0;
  const int32_t R = OctaveBoardKeyRanges[baseIndex].Count;
  if (R < 1) return;
  int32_t keyH = 9 * UiUnit;
  int32_t count = keyH > 0 ? boardHeight / keyH : 0;
  if (R < count) {
    count = R;
    keyH = boardHeight / R;
  }
  if (count < 0) count = 0;
  OctaveKeyHeight.Store(keyH);
  OctaveBoardVisibleKeys.Store(count);
  OctaveBoardLayoutWord.Store(PackOctaveBoardLayout(OctaveBoardLayout{keyH, count, baseIndex}));
  // The board offers the middle keys of the base's range.
  const int32_t first = static_cast<int32_t>(std::floor((R - count) * 0.5));
  for (const QUARLE_BASICS::Shared<KeyboardState*>& entry : OctaveBoardStates)
    if (KeyboardState* st = entry.Load()) st->Octave.Store(first);
}

void LayOutOctaveBoard() {
  const int32_t bb = UiId(kUiBB);
  if (const QUARLE_VISUALS::ControlRecord* c = bb > 0 ? QUARLE_VISUALS::ControlAt(bb) : nullptr)
    LayOutOctaveBoard(c->H);
}

int32_t BuildKeyboardsAndPower(BuildContext& ctx) {
  using QUARLE_BASICS::LangText;
  const int32_t u = U(), b = B(), g = TextStep, icon = IconSizePx();
  const int32_t W = WindowWidth, H = WindowHeight, K = KeyboardKeySize;
  int32_t id = 0, r = 0;

  // Octave boards. On one monitor the power strip lies between the system bar
  // and the boards; with several it moves to the second monitor.
  int32_t y0 = 10 * u;
  int32_t groupH = H - 10 * u;
  if (MonitorsSpanned <= 1) {
    groupH -= y0;
    y0 *= 2;
  }
  int32_t bbGroup = 0;
  if ((r = MakeControl(ctx, ctx.root, 0, y0, 9 * u + 2 * b, groupH, nullptr,
                       Cb.DrawOctaveBoardGroup, false, 1, "BBGROUP", "", &bbGroup)))
    return r;
  SetColour(bbGroup, 0xFF0A2A4D);
  SetWindowSlot(kWinBBGROUP, bbGroup);

  // 36u for the three controls under the board, 6u above it.
  const int32_t room = groupH - 42 * u - 2 * b;
  int32_t okh = OctaveKeyHeight.Load();
  int32_t n = Floor(static_cast<double>(room) / okh);
  if (n > kOctaveBoardMaxKeys) {
    // All keys fit: as tall as the room allows; the rest goes above the board.
    n = kOctaveBoardMaxKeys;
    okh = Floor(static_cast<double>(room) / kOctaveBoardMaxKeys);
    OctaveKeyHeight.Store(okh);
  }
  if (n < 0) n = 0;
  OctaveBoardVisibleKeys.Store(n);
  OctaveBoardTop = groupH - 36 * u - n * okh - b;
  GlyphLayer(bbGroup, 'm', icon - 2 * g, 0xFFFFFFFF, 0, 0, 0, OctaveBoardTop - b);

  const int32_t top = OctaveBoardTop;
  if ((r = MakeControl(ctx, bbGroup, b, top, OctaveKeyWidth, n * okh, Cb.OnOctaveBoard,
                       Cb.DrawOctaveBoard, true, 31, "BB", LangText(426, "Octave board"), &id)))
    return r;
  SetColour(id, 0xFF141419);
  SetUiIndex(kUiBB, id);
  for (int32_t k = 0; k < kOctaveBoardMaxKeys; ++k)
    TextLayer(id, "", DefaultTextSize - 3 * g, 2, 2, OctaveKeyWidth, okh);
  // The keys the board shows in the base set, before its first draw.
  LayOutOctaveBoard(n * okh);

  const char* lockText = "Lock keys : ON = stay active when released | OFF = unlock all";
  const char* islandText = "Island keys : sliding keys will not preserve frequency channel";
  if ((r = MakeControl(ctx, bbGroup, b, top + n * okh, K, K, Cb.OnBoardLock, Cb.DrawButton, true,
                       11, "BBLOCK", LangText(427, lockText), &id)))
    return r;
  GlyphLayer(id, 'l');
  SetUiIndex(kUiBBLOCK, id);

  if ((r = MakeControl(ctx, bbGroup, b, top + n * okh + K, K, K, Cb.OnBoardIslandKeys,
                       Cb.DrawButton, true, 11, "BBIK", LangText(428, islandText), &id)))
    return r;
  GlyphLayer(id, '8');
  SetOn(id, -1);
  SetSelected(id, 0);
  SetUiIndex(kUiBBIK, id);

  if ((r = MakeControl(ctx, bbGroup, b, top + n * okh + 2 * K, K, 2 * K, Cb.OnBoardNumber,
                       Cb.DrawSelector, true, 31, "BBNUM", LangText(429, "Board number"), &id)))
    return r;
  SetSelected(id, 0);
  MarkSelector(id);
  TextLayer(id, "#1", DefaultTextSize, 2, 2, 0, 0);

  // Keyboards.
  const int32_t hk = 5 * u + 4 * b + K;
  const ControlRecord* bbRec = Ctl(bbGroup);
  const int32_t bbW = bbRec ? bbRec->W : 9 * u + 2 * b;
  int32_t kbGroup = 0;
  if ((r = MakeControl(ctx, ctx.root, bbW + u, H - hk, W - 94 * u - bbW, hk, nullptr,
                       Cb.DrawKeyboardGroup, false, 1, "KBGROUP", "", &kbGroup)))
    return r;
  SetColour(kbGroup, 0xFF0A2A4D);
  SetWindowSlot(kWinKBGROUP, kbGroup);
  const ControlRecord* kbRec = Ctl(kbGroup);
  const int32_t kbW = kbRec ? kbRec->W : W - 94 * u - bbW;

  int32_t m = Floor(static_cast<double>(kbW - 51 * u - 2 * b) / K);
  if (m < 0) m = 0;
  // The 45u hold the five key-wide controls right of the keys.
  KeyboardLeft = kbW - 45 * u - m * K - b;
  FreeKeyboardKeyColours();
  KeyboardKeyColours = m > 0 ? static_cast<KeyColour*>(std::calloc(m, sizeof(KeyColour))) : nullptr;
  // Without the colours the keyboard shows no keys rather than read past them.
  KeyboardVisibleKeys = KeyboardKeyColours ? m : 0;
  for (int32_t k = 0; k < KeyboardVisibleKeys; ++k) KeyboardKeyColours[k] = {1.0f, 1.0f, 1.0f};
  GlyphLayer(kbGroup, 'm', icon - 2 * g, 0xFFFFFFFF, 0, -3 * u, KeyboardLeft - b, 0);

  const int32_t kl = KeyboardLeft;
  if ((r = MakeControl(ctx, kbGroup, kl, b, m * K, K, Cb.OnKeyboard, Cb.DrawKeyboard, true, 287,
                       "KB", LangText(430, "Keyboard"), &id)))
    return r;
  SetColour(id, 0xFF141419);
  SetUiIndex(kUiKB, id);
  for (int32_t k = 0; k < m; ++k) TextLayer(id, "", DefaultTextSize - 2 * g, 2, 2, K, K);
  // Key releases reach the keyboard while it takes the computer keyboard's keys,
  // from the start and again whenever the dialog box closes.
  if (ControlRecord* c = Ctl(id)) ThirdFlagWord(c) = -1;
  QUARLE_VISUALS::DefaultKeyTarget = id;
  QUARLE_VISUALS::SetActiveEditField(id);

  if ((r = MakeControl(ctx, kbGroup, kl + m * K, b, K, K, Cb.OnKeyboardIslandKeys, Cb.DrawButton,
                       true, 11, "KBIK", LangText(431, islandText), &id)))
    return r;
  GlyphLayer(id, '8');
  SetOn(id, -1);
  SetSelected(id, 0);
  SetUiIndex(kUiKBIK, id);

  if ((r = MakeControl(ctx, kbGroup, kl + (m + 1) * K, b, K, K, Cb.OnKeyboardLock, Cb.DrawButton,
                       true, 11, "KBLOCK", LangText(432, lockText), &id)))
    return r;
  GlyphLayer(id, 'l');
  SetUiIndex(kUiKBLOCK, id);

  if ((r = MakeControl(ctx, kbGroup, kl + (m + 2) * K, b, 2 * K, K, Cb.OnKeyboardNumber,
                       Cb.DrawSelector, true, 31, "KBNUM", LangText(433, "Keyboard number"),
                       &id)))
    return r;
  SetSelected(id, 0);
  MarkSelector(id);
  TextLayer(id, "#1", DefaultTextSize, 2, 2, 2 * K - 2 * b - 2 * icon, 0);

  if ((r = MakeControl(ctx, kbGroup, kl + (m + 4) * K, b, K, K, Cb.OnWindowTab, Cb.DrawTab, true,
                       11, "KB_SETTINGS", Caption(301), &id)))
    return r;
  GlyphLayer(id, 's');
  SetTag(id, kWinTNG);  // opens the tuning window
  TuningTabId = id;

  const int32_t posW = kbW - 2 * b;
  if ((r = MakeControl(ctx, kbGroup, b, b + K, posW, 5 * u + 2 * b, Cb.OnKeyPositionSelect,
                       Cb.DrawSelector, true, 31, "KBPOS", LangText(434, "Key position"), &id)))
    return r;
  // Positions count from 8 octaves below the reference.
  int32_t offset = 0;
  const int32_t current = CurrentKeyboardIndex.Load();
  if (current >= 0 && current < kKeyboardBankSize)
    if (const KeyboardState* s = KeyboardStates[current].Load()) offset = s->KeyOffset.Load();
  SetSelected(id, offset + 8 * TuningGetNoteCount(ActiveTuning));
  MarkSelector(id);
  TextLayer(id, "", DefaultTextSize, 2, 2, posW - 2 * b - 2 * icon, 0);
  SetUiIndex(kUiKBPOS, id);

  // The output power strip.
  int32_t px = 0, py = 10 * u, pw = W - 93 * u;
  if (MonitorsSpanned > 1) {
    px = static_cast<int32_t>(DesktopWidth);
    py = 0;
    pw = W - static_cast<int32_t>(DesktopWidth);
  }
  if ((r = MakeControl(ctx, ctx.root, px, py, pw, 9 * u, Cb.OnPowerDisplayMouse,
                       Cb.DrawPowerHistory, true, 11, "PPDISP",
                       LangText(435, "Temporal display of synth output power (stereo)"), &id)))
    return r;
  SetColour(id, 0x00000001);
  SetUiIndex(kUiPPDISP, id);
  return 0;
}

}  // namespace Tarvelo
