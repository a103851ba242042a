// Logic and arithmetic types.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/globals.h"

namespace Tarvelo {

int32_t DefineGate(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 558, "Gate", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  t.ParamCount = 2;
  return result;
}

int32_t DefineLogicSwitch(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 559, "Logic switch", nullptr, kCategoryLogic);
  t.RunsWithoutVoices = -1;
  t.PortCount = 5;
  t.ParamCount = 5;
  return result;
}

int32_t DefineAddition(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 561, "Addition", "a+b", kCategoryLogic);
  t.PortCount = 2;
  t.ParamCount = 2;
  return result;
}

int32_t DefineDifference(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 562, "Difference", "a-b", kCategoryLogic);
  t.PortCount = 2;
  t.ParamCount = 2;
  return result;
}

int32_t DefineProduct(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 563, "Product", "a*b", kCategoryLogic);
  t.PortCount = 2;
  t.ParamCount = 2;
  return result;
}

int32_t DefineInverter(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 564, "Inverter", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  t.PortCount = 1;
  t.ParamCount = 1;
  return result;
}

int32_t DefineAbsolute(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 565, "Absolute", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  t.PortCount = 1;
  t.ParamCount = 1;
  return result;
}

int32_t DefineDerivative(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 566, "Derivative", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  t.PortCount = 1;
  t.ParamCount = 1;
  return result;
}

int32_t DefineRectifier(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 567, "Rectifier", nullptr, kCategoryLogic);
  t.PortCount = 1;
  t.ParamCount = 1;
  return result;
}

int32_t DefineLevel(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 568, "Level", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  t.ParamCount = 4;
  return result;
}

int32_t DefineClipper(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 570, "Clipper", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  t.ParamCount = 2;
  return result;
}

int32_t DefineMixer(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 571, "Mixer", nullptr, kCategoryLogic);
  t.RunsWithoutVoices = -1;
  t.ChosenSourcePort = 1;
  t.VoiceMapSourcePort = 1;
  t.RequiredPort = 1;
  t.PortCount = 17;
  t.ParamCount = 17;
  return result;
}

}  // namespace Tarvelo
