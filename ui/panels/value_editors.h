// The value editors: a row of four controls that show and change one
// ParamValue (the control's shared pointer): FAD_ steps the display mode,
// FAE_ types a value through the dialog box, FAV_ is the value field whose
// segments are hovered, dragged and clicked, FAU_ steps the display unit. The
// callbacks do not know which value they edit; the value's own change hook
// carries the change to the module or the tuning.
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

// Horizontal drag movement not yet turned into steps, shared by all value fields.
// one thread: interface
extern int32_t ValueDragAccumulator;
// Pixels of horizontal movement per drag step.
constexpr int32_t kValueDragStep = 8;

int32_t OnValueDisplayMode(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnValueEdit(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnValueDrag(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnValueUnit(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// A number as the typed-value dialog shows it: the shortest decimal text that
// reads back as the same single.
std::string DecimalTextOf(float value);

}  // namespace Tarvelo
