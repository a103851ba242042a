// Control records: every element of the interface is one ControlRecord in the
// control table (visuals/control_table.h). The main thread writes the record;
// the video thread sees a control only through the RenderRecord the control
// publishes under its own RenderLock (ControlPublish, UpdateControl), apart from
// the few single words it reads directly (Visible, Alpha, ClipChildren, NoHit,
// DrawCallback, DragOver, DeletePending), which are atomics for that reason,
// the child set under ChildLock, and what the record is made with and never
// changes after (its id, serial, parent, locks and layers). Each member says
// whose it is.
#pragma once
#include <atomic>
#include <cstdint>

#include "basics/dynzstring.h"
#include "platform/images.h"
#include "platform/threads.h"

namespace QUARLE_VISUALS {

using platform::Image;
using platform::Mutex;
using QUARLE_BASICS::DynZString;

struct FontRecord;  // a face and its width cache or icon size (visuals/fonts.h)
struct RenderRecord;

// Event bits of EventCallback and EventMask. 0 is the leave call.
enum EventBits : uint32_t {
  kEventLeave = 0,
  kEventHover = 1,
  kEventPress = 2,
  kEventDragRelease = 4,  // release after a drag
  kEventClick = 8,
  kEventDrag = 16,        // button held, moved more than 5 pixels
  kEventDragOver = 32,
  kEventDrop = 64,
  kEventWheel = 128,
  kEventKey = 256,
};

// (event bits, x or dx, y or dy, control id, source control id) -> error code.
using EventCallbackFn = int32_t (*)(uint32_t bits, int32_t x, int32_t y, int32_t id,
                                    int32_t source);
// (snapshot of the control's render record, control id) -> error code; runs on
// the video thread with MT_DRAW held and paints on DrawTarget.
using DrawCallbackFn = int32_t (*)(RenderRecord* snapshot, int32_t id);

constexpr int32_t kDefaultEventMask = 11;  // hover, press, click
constexpr int32_t kDefaultTextSize = 12;   // DefaultTextSize

// Six 64-bit words; flags hold -1 or 0.
// one thread: value
struct ControlState {
  int64_t Active = 0;          // -1 while an event is being delivered to the control
  int64_t Pressed = 0;         // pressed or being edited
  int64_t On = 0;              // switched on; some looks take its low 32 bits as colour
  int64_t Spare = 0;
  int64_t DisabledToggle = 0;  // bit-inverted on every change of Disabled
  int64_t Disabled = 0;
};

// one thread: value
struct TextStyle {
  uint8_t Glyph = ' ';
  int32_t Size = 20;
  int32_t Dx = 0;
  int32_t Dy = 0;
  int32_t SizeA = 0;  // further size words: both = Size after TextStyleSet; a glyph
  int32_t SizeB = 0;  // layer stores its box height in A and width in B
  FontRecord* Font = nullptr;
  uint32_t Colour = 0xFFFFFFFF;
};

// Text, list and editing state. The words named Edit* belong to the text-editing
// and list routines, which give them their meaning; they are kept and copied here.
// one thread: value
struct TextField {
  uint32_t EditWords[3] = {0, 0, 0};
  uint64_t EditLongs[2] = {0, 0};
  int64_t KeyReleases = 0;  // -1: key releases reach the control while it is edited
  int32_t Selected = -1;
  int32_t FirstVisible = 0;
  int32_t Mark = -1;
  int32_t VisibleRows = 0;
  int32_t TextSize = kDefaultTextSize;
  uint32_t TextColour = 0xFFFFFFFF;
  int32_t LayoutWidth = 0;
  int32_t EditPair[2] = {0, 0};
  int32_t Caret = 0;          // counted from 1; length + 1 is after the last character
  int32_t SelectionEnd = 0;
  int32_t EditAfterSelection = 0;
  int32_t FitCount = 0;
  int32_t EditAfterFit = 0;
  int32_t Align = 2;          // 0 fit, 1 left, 2 centre, 3 right
  int64_t EditStates[3] = {0, 0, 0};
  int64_t Reversed = 0;       // the list is shown bottom-up
  int64_t Changed = 0;        // update flags, -1 after any change of text or list position
  uint32_t EditFlags[6] = {0, 0, 0, 0, 0, 0};
  double Min = 0.0;
  double Max = 0.0;
  char* Text = nullptr;       // own heap buffer, zero-terminated
  int32_t TextBytes = 1;      // text length + 1
};

// Children of a control. An entry 0 is a free place left by a removed child;
// every walker skips entries below 1. The interface adds and re-sorts, the
// purge (video thread) removes, and the renderer and the interface's walks
// read, each under the owning control's ChildLock (LiveChildren for a walk).
// Only the record's maker, before the control is adopted, and the purge,
// freeing a tree it took out of its parent's set, touch it without the lock.
// one thread: holder of ChildLock
struct IdSet {
  uint32_t Count = 0;  // one thread: holder of ChildLock
  uint32_t NextZ = 0;  // one thread: holder of ChildLock
  int32_t* Ids = nullptr;  // one thread: holder of ChildLock
};

// The published copy of a control's drawable state, the only thing of a control
// the video thread reads. x, y, w, h come first: frame routines take a pointer
// to it as a rectangle.
// one thread: value
struct RenderRecord {
  int32_t X = 0, Y = 0, W = 0, H = 0;
  int32_t PendingDx = 0, PendingDy = 0, PendingDw = 0, PendingDh = 0;
  // How far the control paints from (X, Y): at least W x H, more where its
  // layers reach past its rectangle (ControlPaintExtent).
  int32_t PaintW = 0, PaintH = 0;
  // Where its painting starts, from (X, Y): 0, or less for a control that
  // paints above or left of its rectangle.
  int32_t PaintX = 0, PaintY = 0;
  uint32_t Colour = 0;
  int32_t PressX = 0, PressY = 0;
  int32_t Spare2 = 0;
  int64_t Visible = 0;
  int64_t Alpha = 0;
  ControlState State;
  TextStyle Style;
  TextField Text;  // Text.Changed holds the published update flags
  uint64_t Tag = 0;
  void* UserPointer = nullptr;
};

struct ControlRecord {
  // What the record is made with: the id is set before the record is stored in
  // its slot; the serial is this record's own number, never given to another
  // (ControlInit): a slot is reused after a purge, so what names a control
  // across threads (a posted tooltip, a walk's ChildRef) names its serial
  // beside its id. The parent is set when the control is adopted, under the
  // parent's ChildLock, before any walk of the tree finds it. The video thread
  // reads all three (the purge, the frame watch, a tooltip's post).
  int32_t Id = 0;  // one thread: maker
  uint64_t Serial = 0;  // one thread: maker
  int32_t Parent = 0;  // one thread: maker

  // The interface's own words: the event loop and the handlers read and write
  // them; what the video thread needs of them it takes from the published
  // RenderRecord (ControlPublish), never from here.
  // one thread: interface
  int32_t EventMask = kDefaultEventMask;
  uint32_t Reserved = 0;
  int32_t PressX = 0, PressY = 0;
  int32_t Z = 0;  // changed under the parent's ChildLock, read by the interface's walks
  uint32_t Colour = 0;  // the plain box drawn when there is no draw callback
  uint32_t Reserved2 = 0;
  EventCallbackFn EventCallback = nullptr;

  std::atomic<DrawCallbackFn> DrawCallback{nullptr};
  IdSet Children;

  // one thread: interface, published to the video thread by ControlPublish
  ControlState State;
  TextStyle Style;

  // One thread: interface, but for Text.LayoutWidth: a draw (video thread)
  // stores a measured width there under RenderLock, under which the interface
  // reads it (the publish's copy), and a clone copies it under MT_DRAW, which
  // every draw holds.
  // one thread: interface, except Text.LayoutWidth (holder of RenderLock)
  TextField Text;

  // Made with the record (ControlInit) and freed with it (ControlFree, by the
  // purge once the control left its parent's set): the video thread reads the
  // pointers, and what they point to only under the locks.
  RenderRecord* Render = nullptr;  // one thread: maker; owned, guarded by RenderLock
  Image* Canvas = nullptr;  // one thread: video, made and used by the renderer only
  void* UserPointer = nullptr;  // one thread: interface, published as Render->UserPointer
  // Glyph, text and row images: made by the build, or copied by the clone
  // before the control is stored in its slot; draws read the array and paint
  // into its images, nothing changes the array afterwards.
  Image** Layers = nullptr;  // one thread: maker
  int32_t LayerCount = 0;  // one thread: maker

  std::atomic<int64_t> NoHit{0};

  // one thread: interface (Tag published as Render->Tag, which draws read)
  int64_t Resized = 0;
  int64_t Moved = 0;
  uint64_t Tag = 0;

  std::atomic<int64_t> ClipChildren{0};
  int64_t Dragged = 0;  // one thread: interface
  std::atomic<int64_t> DragOver{0};  // the plane's draw (video thread) reads it
  // The look the build's image pass gives a control (copied by a clone before
  // its slot shows it); draws read them.
  int64_t GradientFlag = 0;  // one thread: maker
  int64_t GradientFlag2 = 0;  // one thread: maker
  std::atomic<int64_t> DeletePending{0};  // destroyed by the video thread between frames

  // one thread: interface
  int64_t VisibilityChanged = 0;
  int64_t MoveFlag = 0;
  int64_t Focusable = 0;
  int64_t EditArrows = 0;
  int64_t SpareFlag = 0;
  DynZString ID;
  // Set by the interface (a draw that finds one posts it: PostFoundTooltip).
  DynZString Tooltip;  // one thread: interface

  // Made by ControlInit, destroyed by ControlFree with the record.
  Mutex* RenderLock = nullptr;  // one thread: maker; guards Render
  Mutex* ChildLock = nullptr;   // one thread: maker; guards Children and NextZ

  // Absolute screen position and size, and the runs of their changes: the
  // interface's, published into Render.
  // one thread: interface
  int32_t PendingDx = 0, PendingDy = 0, PendingDw = 0, PendingDh = 0;
  int32_t X = 0, Y = 0, W = 0, H = 0;
  int32_t PrevX = 0, PrevY = 0, PrevW = 0, PrevH = 0;

  std::atomic<int64_t> Visible{0};
  std::atomic<int64_t> Alpha{255};
};

// A value that remembers its previous value (the event loop's key input is one).
// one thread: value
struct SelectorState {
  uint32_t CounterA = 0;
  uint32_t Spare[3] = {0, 0, 0};
  uint32_t CounterB = 0;
  int64_t Words[5] = {0, 0, 0, 0, 0};
  int64_t Words2[2] = {0, 0};
  int64_t Word3 = 0;
  // Up to two characters, or an accent and the escape form of a character
  // the code page lacks (platform/paths.h: at most 9 bytes).
  char Text[12] = {};
  char Text2[2] = {0, 0};  // a one-character text (the key input's accent)
  int32_t Value = 0;
  int32_t Previous = 0;
};

constexpr int32_t kJoystickAxes = 8;
constexpr float kJoystickAxisAbsent = -1000.0f;

// one thread: value
struct JoystickState {
  uint32_t PollWord = 0;
  float Axis[kJoystickAxes] = {};
  uint32_t Spare = 0;
  float Direction[kJoystickAxes] = {};
  uint32_t Spare2 = 0;
  uint32_t Buttons = 0;
  uint32_t ChangedButtons = 0;
  int64_t AxisChanged[kJoystickAxes] = {};
};

// --- Control records -------------------------------------------------------
// None of these locks, except the publish operations and FetchRenderRecord.

// For a freshly allocated record: defaults, a new serial, both locks created (a
// lock that cannot be made stays null), a new RenderRecord.
void ControlInit(ControlRecord* c);
// Builds dst (a fresh record) as a copy of src; the tree links, canvas, user
// pointer and the event loop's flags are not copied.
void ControlCopy(ControlRecord* dst, const ControlRecord* src);
// Releases everything the record owns (not the record itself).
void ControlFree(ControlRecord* c);

int32_t ControlX(const ControlRecord* c);
int32_t ControlY(const ControlRecord* c);
int32_t ControlW(const ControlRecord* c);
int32_t ControlH(const ControlRecord* c);
// A change marks Moved/Resized, keeps the value before the first change of a
// run in Prev*, and sums the run in Pending*. Sizes below 1 become 1.
void ControlSetX(ControlRecord* c, int32_t x);
void ControlSetY(ControlRecord* c, int32_t y);
void ControlSetW(ControlRecord* c, int32_t w);
void ControlSetH(ControlRecord* c, int32_t h);
int64_t ControlVisible(const ControlRecord* c);
void ControlSetVisible(ControlRecord* c, int64_t value);
int64_t ControlIsEnabled(const ControlRecord* c);  // -1 enabled, 0 disabled
void ControlSetAlpha(ControlRecord* c, int64_t alpha);  // clamped to 0..255
uint32_t ControlAlpha(const ControlRecord* c);

// 0; -19 for a zero size; -21 when the image cannot be made. Keeps a canvas of
// that size, else makes a new one filled with the colour.
int32_t RenderCanvasEnsure(ControlRecord* c, int32_t w, int32_t h, uint32_t fill);
// Makes the layer array n entries longer (new entries null). 0; -21 when the
// longer array cannot be had (nothing changes).
int32_t ControlAddLayers(ControlRecord* c, int32_t n);
// 0; -19 for a zero or negative size; -21 when the array or image cannot be made.
// w or h 0 take the control's size; a fill of 0xFFFFFFFF becomes 0.
int32_t ControlCreateLayer(ControlRecord* c, int32_t index, int32_t w, int32_t h, uint32_t fill);

// Publishing: the only way drawable state reaches the video thread. The update
// flags accumulate (OR) until the video thread takes a snapshot.
void ControlPublish(ControlRecord* c, int64_t flags);
// The width and height a control paints from its corner: its rectangle, and
// for a drawn control its layers where draws put them (inside the border),
// which may reach past it (a module port's glyph does). Main thread.
void ControlPaintExtent(const ControlRecord* c, int32_t& w, int32_t& h);
// The same with where the painting starts (x0, y0: 0 or less, from the corner).
void ControlPaintArea(const ControlRecord* c, int32_t& x0, int32_t& y0, int32_t& w, int32_t& h);
// A draw callback that puts layers elsewhere than inside the border tells how
// far from the corner its controls paint (SetPaintReach): it widens
// [x0, x1) x [y0, y1).
using PaintReachFn = void (*)(const ControlRecord* c, int32_t& x0, int32_t& y0, int32_t& x1,
                              int32_t& y1);
void ControlPublishText(ControlRecord* c, int64_t flags);
// Leaves a width measured by a draw callback (video thread) in the control's
// own text field, under the lock its publication copies the field under.
void ControlSetLayoutWidth(ControlRecord* c, int32_t width);
void ControlPublishState(ControlRecord* c);
// The video thread's read: copies the published record of control id (clamped
// to the table) under its RenderLock; consumes the update flags when the copy's
// alpha is above 0. dst must have been initialised (RenderRecordInit); an empty
// slot leaves it untouched.
void FetchRenderRecord(RenderRecord* dst, int32_t id);
// Gives back the update flags a fetch took when the copy is not drawn after
// all (its control lies outside its clip): a draw callback renders what they
// name (a caption, say) only when it sees them. Joined with any set meanwhile.
void ReturnRenderFlags(const RenderRecord* snap, int32_t id);

// --- Small records -----------------------------------------------------------
void ControlStateCopy(ControlState* dst, const ControlState* src);
int64_t IsDisabled(const ControlState* s);
void SetDisabled(ControlState* s, int64_t value);

void TextStyleInit(TextStyle* s);
void TextStyleSet(TextStyle* s, uint8_t glyph, int32_t size, FontRecord* font, int32_t dx,
                  int32_t dy, uint32_t colour);
void TextStyleCopy(TextStyle* dst, const TextStyle* src);

void TextFieldInit(TextField* f);  // defaults and a buffer holding ""
void TextFieldFree(TextField* f);
void TextFieldCopy(TextField* dst, const TextField* src);
void TextFieldClear(TextField* f);
const char* TextFieldGetText(const TextField* f);  // "" without a buffer
// A failed allocation keeps the old text.
void TextFieldSetText(TextField* f, const char* text);
int32_t TextFieldTextSize(const TextField* f);
void TextFieldClampNumber(TextField* f);
void ListScrollClamp(TextField* f, int32_t itemCount);

void RenderRecordInit(RenderRecord* r);
void RenderRecordFree(RenderRecord* r);
void RenderRecordCopy(RenderRecord* dst, const RenderRecord* src);

// Index at which the id stands; -21 when the set cannot grow (nothing changes).
int32_t IdSetAdd(IdSet* set, int32_t id);
void IdSetRemove(IdSet* set, int32_t id);
void IdSetFree(IdSet* set);

void SelectorCopy(SelectorState* dst, const SelectorState* src);
int32_t SelectorValue(const SelectorState* s);
void SelectorSetValue(SelectorState* s, int32_t value);
int32_t SelectorPrevious(const SelectorState* s);
int64_t SelectorChanged(const SelectorState* s);

uint32_t JoystickSetButtons(JoystickState* j, uint32_t mask);
void JoystickAxisUpdate(JoystickState* j, int32_t axis);
void JoystickClearChanged(JoystickState* j);
void JoystickReset(JoystickState* j);

}  // namespace QUARLE_VISUALS
