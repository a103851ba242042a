#include "engine/ui_hooks.h"

namespace Tarvelo {

EngineUiHooks EngineUi{};

int32_t UiControlId(int32_t named) {
  if (named < 0 || named >= kNamedControlCount || EngineUi.ControlId == nullptr) return 0;
  return EngineUi.ControlId(named);
}

void UiPublishText(int32_t control, int64_t flags) {
  if (control > 0 && EngineUi.PublishText != nullptr) EngineUi.PublishText(control, flags);
}

void UiPublishState(int32_t control) {
  if (control > 0 && EngineUi.PublishState != nullptr) EngineUi.PublishState(control);
}

void UiSetPressed(int32_t control, int64_t pressed) {
  if (control > 0 && EngineUi.SetPressed != nullptr) EngineUi.SetPressed(control, pressed);
}

void UiSetOn(int32_t control, int64_t on) {
  if (control > 0 && EngineUi.SetOn != nullptr) EngineUi.SetOn(control, on);
}

int32_t UiVisible(int64_t control) {
  if (control == 0 || EngineUi.Visible == nullptr) return 0;
  return EngineUi.Visible(control);
}

int32_t UiIsEnabled(int32_t control) {
  if (control <= 0 || EngineUi.IsEnabled == nullptr) return 0;
  return EngineUi.IsEnabled(control);
}

int32_t UiX(int64_t control) {
  return control != 0 && EngineUi.X != nullptr ? EngineUi.X(control) : 0;
}

int32_t UiY(int64_t control) {
  return control != 0 && EngineUi.Y != nullptr ? EngineUi.Y(control) : 0;
}

int32_t UiTextWidth(const std::string& text, int32_t size) {
  if (EngineUi.TextWidth != nullptr) return EngineUi.TextWidth(text, size);
  return static_cast<int32_t>(text.size()) * size / 2;
}

}  // namespace Tarvelo
