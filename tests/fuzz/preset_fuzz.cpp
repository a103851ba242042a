// A master preset of any bytes applied to its type's template, then a module
// made from the template and played: no value it holds may make the module or
// its kernel reach outside what it owns. The presets of the start-up are put
// back after each input.
#include "engine_support.h"

using namespace Tarvelo;

void FuzzSetUp() { fuzz::StartEngine(); }

void FuzzSeeds(const std::string& dir) {
  for (int32_t type = 0; type < kModuleTypeCount; ++type)
    fuzz::WriteFile(dir + "/preset" + std::to_string(type) + ".rec",
                    reinterpret_cast<const uint8_t*>(&MasterPresets[type]), sizeof(ModuleFileRecord));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ModuleFileRecord r = fuzz::RecordOf(data, size);
  const int32_t type = r.Type;
  const int64_t legacy = (r.X & 1) != 0 ? -1 : 0;
  fuzz::ClearEngine();
  ApplyMasterPreset(r, legacy);
  if (type >= 0 && type < kModuleTypeCount) {
    ModuleRecord* kb = fuzz::AddTyped(kTypeKeyboard);
    ModuleRecord* m = fuzz::AddTyped(type);
    ModuleLinkInput(*m, 0, kb, &ModuleCatalog[type]);
    fuzz::HoldNote();
    RequestGraphRebuild(0, 0, m);
    fuzz::Render(48);
  }
  fuzz::ClearEngine();
  fuzz::Render(1);
  ApplyAllMasterPresets();
  return 0;
}
