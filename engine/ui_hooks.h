// What the engine core asks of the interface: a few named controls, publishing
// their state to the video thread, the position and visibility of module boxes
// and the width of texts in the interface font. The interface installs its own
// procedures when it builds its controls; until then (and in headless tests) the
// defaults stand for an interface that shows nothing.
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

// The named controls the engine core addresses (their slots of the interface's
// control index).
enum NamedControl : int32_t {
  kControlParamList = 0,     // PLIST: its user word is the selected parameter
  kControlMidiLearn0,        // MIDI0: learn "any selected parameter"
  kControlMidiLearn1,        // MIDI1: learn "this parameter of the selected module"
  kControlMidiLearn2,        // MIDI2: learn "this parameter of this module"; on after such a binding
  kControlMidiKindSelector,  // MIDICCCT: the controller-type selector
  kControlMidiDevices,       // MIDIDEVS: the device list; the controller list is the next control
  kControlFilterGraph,       // FGRAPH: the filter design's graph
  kNamedControlCount,
};

// Every member may be left null; the wrappers below then give the defaults.
// one thread: start-up, installed before the threads start
struct EngineUiHooks {
  int32_t (*ControlId)(int32_t named);                  // 0 while the control does not exist
  void (*PublishText)(int32_t control, int64_t flags);  // text field into the render record
  void (*PublishState)(int32_t control);                // state words into the render record
  void (*SetPressed)(int32_t control, int64_t pressed);
  void (*SetOn)(int32_t control, int64_t on);
  int32_t (*Visible)(int64_t control);                  // -1 shown, 0 hidden
  int32_t (*IsEnabled)(int32_t control);                // -1 enabled, 0 disabled
  int32_t (*X)(int64_t control);                        // absolute position on the plane
  int32_t (*Y)(int64_t control);
  int32_t (*TextWidth)(const std::string& text, int32_t size);  // pixels in the interface font
};
// one thread: start-up (installed when the interface is built, before the
// video and audio threads start)
extern EngineUiHooks EngineUi;

int32_t UiControlId(int32_t named);  // 0 when unknown
void UiPublishText(int32_t control, int64_t flags);
void UiPublishState(int32_t control);
void UiSetPressed(int32_t control, int64_t pressed);
void UiSetOn(int32_t control, int64_t on);
int32_t UiVisible(int64_t control);    // 0 without an interface
int32_t UiIsEnabled(int32_t control);  // 0 without an interface
int32_t UiX(int64_t control);
int32_t UiY(int64_t control);
// Without an interface font a character is taken as half the size wide.
int32_t UiTextWidth(const std::string& text, int32_t size);

}  // namespace Tarvelo
