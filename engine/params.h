// Module parameters: every input port and every setting of a module, with the
// number field the value editors show.
#pragma once
#include <atomic>
#include <cstdint>

#include "basics/dynzstring.h"
#include "basics/ratio.h"
#include "basics/shared_word.h"
#include "platform/threads.h"

namespace Tarvelo {

using QUARLE_BASICS::DynZString;
using QUARLE_BASICS::Shared;
using QUARLE_BASICS::ValueRecord;

// A parameter's value module publishes the set value in element 0 of its
// channel rows, which the kernels read plainly on the thread that sets it
// while playing (a controller move runs on the render). The module page reads
// it meanwhile: set and read whole. The output rows stay plain floats, since
// every kernel writes them at the audio rate.
inline void StoreValueOutput(float& word, float value) {
  std::atomic_ref<float>(word).store(value, std::memory_order_relaxed);
}
inline float LoadValueOutput(const float& word) {
  return std::atomic_ref<float>(const_cast<float&>(word)).load(std::memory_order_relaxed);
}

constexpr int32_t kParamSegments = 10;
constexpr int32_t kParamTextSize = 33;
constexpr int32_t kMinFieldWidth = 20;
constexpr int32_t kMinTextSize = 20;

// Port link states.
enum PortLinkState : int32_t {
  kPortUnlinked = 0,   // reads its own port value module
  kPortLinked = 1,     // reads another live module
  kPortSelfLinked = 2, // reads the module itself
  kPortGlobal = 3,     // reads the template's port value module
};

// Unit families of a value field.
enum UnitFamily : int32_t {
  kUnitNone = 0,
  kUnitCount = 1,   // whole units
  kUnitTime = 2,    // samples, seconds, hertz, BPM
  kUnitLevel = 3,   // amplitude, decibels
};

// One hit-testable piece of a value field's text.
struct DisplaySegment {
  // one thread: holder of Lock, its value record's lock, as the record's words
  int32_t Kind;   // 0 sign, 1 number, 2 literal
  int32_t X;      // pixels from the field's left edge
  int32_t Width;
  int32_t Type;   // 0..8: which part of the value it shows
  char Text[11];
};

// Value-change hook: gets the edited display value, may change it, and answers
// 0 unchanged, -1 when it became smaller, 1 when it became larger.
using ParamValueChangeFn = int32_t (*)(float* value);
// Range hook: the limits the value-change hook holds a number to, in the unit
// it is set in (low <= high); what a typed number is read against.
using ParamValueRangeFn = void (*)(float* low, float* high);

struct ParamValue {
  // one thread: holder of Lock, the record's own lock: the value editors
  // (interface), the field's draw (video) and a move's display (the render's
  // take end, the interface's moves) read and change them under it; the
  // maker sets them before, a copy at rest or under a frame hold
  ValueRecord Base;        // the number with its ratio and display form
  int32_t UnitFamily;
  int32_t Unit;            // 0 when the family is below 2
  int32_t DisplayMode;     // 0..5, handed to the value record
  int32_t Reserved0;
  int32_t SetUnit;         // unit the number was last stored in
  int32_t FieldWidth;      // >= 20
  int32_t TextSize;        // >= 20
  int64_t ModeFlags[3];    // allow display modes; [2] is also known as AllowForm5
  ParamValueRangeFn OnRange;  // a reserved word's place; null: no limits; one thread: maker
  uint32_t Rate;           // for time units
  float UnitArgument;
  float EditStep;          // display step of the current unit

  platform::Mutex* Lock;   // own lock, never copied; one thread: maker
  ParamValueChangeFn OnChange;  // one thread: maker
  // one thread: holder of Lock, as the words above
  DisplaySegment Segments[kParamSegments];
  int32_t SegmentCount;
  int32_t DrawSize;
  int64_t Dirty;           // -1: the field must be redrawn
  char Text[kParamTextSize];
  int32_t LastDrawSize;
  int32_t Reserved2;
  int32_t UnitSign;        // 1 while a negative level shows in dB
};

struct ModuleParam {
  // one thread: maker, the type's words, set by the catalog and copied into
  // each module made from it
  DynZString LongName;
  DynZString Label;
  float Scale;             // displayed value = value x scale
  float Min, Max;          // limits of the displayed value
  // Control range in value units: the interface sets it (or a MIDI move in
  // a range edit mode, on the audio thread); MIDI moves read it on the audio thread.
  Shared<float> RangeLow, RangeHigh, Step;
  float InitialValue;      // the type's default in value units; one thread: maker
  // ModuleSetParamValue writes it: the interface with playback off, the audio
  // thread's controller moves while it plays; the value field's watch (video)
  // and the page read it.
  Shared<float> Value;
  ParamValue Number;
  // Also SourceSide: 0 reads the source's level, 1 its frequency. The page's
  // input domain writes it (interface, under a frame hold while playing); the
  // render's kernels and the plane's frame watch (video) read it.
  Shared<int32_t> OutputSide;
  int32_t DefaultOutputSide;  // also DefaultSourceSide; one thread: maker
  // Set with the port's source by a link (the interface with playback off,
  // the audio thread's commands while it plays); the frame watch reads it.
  Shared<int32_t> PortLinkState;
  int32_t VoiceMapRow;     // 0 or 1, chosen per frame by the render callback; one thread: graph owner
  int64_t ChannelCountExempt;  // also ChannelIndependent; one thread: maker
  int64_t NoValueEditor;       // one thread: maker
  // Falls back to the template's port value module. The Global click flips it
  // (interface) once the link commands before it have run; a link command
  // (FallBack: the render while playing) and an unlink read it.
  Shared<int64_t> Global;
  // one thread: graph owner, the interface changes it at rest or under a
  // frame hold (the channel links, a load); the render's moves only read it
  int64_t WriteBothChannels;
  // -1 after a controller move (audio or MIDI thread); the page takes it.
  Shared<int64_t> MidiMoved;
  // MIDI map entries bound to this parameter: learning (interface) and a
  // load count up, a refused controller's entry (the MIDI thread, under
  // MT_MIDIMAPS) counts down; the page reads it.
  Shared<int64_t> MidiMapCount;
  int64_t SideSwap;        // stored in the module file record; one thread: interface, the E/T click, a load, a save
  // The port's link closes a cycle: a rebuild (audio thread while playing)
  // writes it, the frame watch reads it.
  Shared<int64_t> FeedbackPort;
  int64_t Reserved3;       // one thread: maker
  int64_t IntegerFlag;     // one thread: maker, from the type's unit
};

void ParamValueInit(ParamValue& v);
void ParamValueFree(ParamValue& v);
// Copies everything except the lock and UnitSign, then marks the copy dirty.
void ParamValueCopy(ParamValue& dst, const ParamValue& src);
void ParamValueSetFieldSize(ParamValue& v, int32_t width, int32_t size);
void ParamValueSetFormat(ParamValue& v, int32_t mode, int32_t family, int32_t unit);
// Puts a number into the value record in its current display form (no unit
// conversion).
void ParamValueLoadNumber(ParamValue& v, float x);

void ModuleParamInit(ModuleParam& p);
void ModuleParamFree(ModuleParam& p);
void ModuleParamCopy(ModuleParam& dst, const ModuleParam& src);
void ModuleSetParamMode(ModuleParam& p, int32_t mode);
void ModuleParamClampStep(ModuleParam& p);
// The control range as a MIDI move on the audio thread reads it while the
// module page may edit it on the interface thread: each word is read and
// written whole.
// one thread: value
struct ControlRange {
  float low, high, step;
};
ControlRange LoadControlRange(const ModuleParam& p);
void StoreControlRange(ModuleParam& p, const ControlRange& r);
// The range a load keeps a stored value in (Min and Max over Scale); a value
// outside it comes back as the default.
void StoredParamBounds(const ModuleParam& p, float& lo, float& hi);
// x kept inside that range; NaN becomes the initial value.
float WithinParamRange(const ModuleParam& p, float x);
void ModuleParamSetIntegerFlag(ModuleParam& p);

// What the module page's editors change: 0 value, 1 range low, 2 range high, 3 step.
// Written by the interface; MIDI moves read it on the audio thread.
extern Shared<int32_t> ParamEditMode;
// The parameter selected in the module page's list; -1 none. Defaults to the
// selected module's SelectedParam; the interface may install its own.
// one thread: start-up, installed before the other threads start
extern int32_t (*SelectedParamIndex)();
// The value-change hook of every module parameter.
int32_t OnParamValueChange(float* value);
// Its range hook: the limits OnParamValueChange holds the selected parameter's
// number to in what ParamEditMode edits (none without a selected parameter).
void OnParamValueRange(float* low, float* high);

}  // namespace Tarvelo
