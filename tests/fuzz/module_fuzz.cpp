// A module file record of any bytes loaded into a live module among others,
// the way the synth reader does it, then played: no value it holds may make
// the module or its kernel reach outside what it owns.
#include "engine_support.h"

using namespace Tarvelo;

void FuzzSetUp() { fuzz::StartEngine(); }

void FuzzSeeds(const std::string& dir) {
  // Every module type as our writer flattens it, linked to a keyboard.
  for (int32_t type = 0; type < kModuleTypeCount; ++type) {
    fuzz::ClearEngine();
    ModuleRecord* kb = fuzz::AddTyped(kTypeKeyboard);
    fuzz::AddTyped(kTypeOscillator);
    ModuleRecord* m = fuzz::AddTyped(type);
    if (m == nullptr) continue;
    ModuleLinkInput(*m, 0, kb, &ModuleCatalog[type]);
    ModuleFileRecord r;
    std::memset(&r, 0, sizeof r);
    ModuleToFileRecord(r, m);
    fuzz::WriteFile(dir + "/type" + std::to_string(type) + ".rec", reinterpret_cast<const uint8_t*>(&r), sizeof r);
  }
  fuzz::ClearEngine();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ModuleFileRecord r = fuzz::RecordOf(data, size);
  // The synth reader refuses a live module of a type this system lacks.
  if (r.Type < 0 || r.Type >= kModuleTypeCount) return 0;
  fuzz::ClearEngine();
  fuzz::AddTyped(kTypeKeyboard);
  fuzz::AddTyped(kTypeOscillator);
  ModuleRecord* m = fuzz::AddTyped(r.Type);
  const int64_t legacy = (r.X & 1) != 0 ? -1 : 0;
  fuzz::Check(LoadModuleFromFileRecord(r, m, ModuleList.count, nullptr, legacy) == 0, "loads");
  fuzz::HoldNote();
  RequestGraphRebuild(0, 0, m);
  fuzz::Render(48);
  fuzz::ClearEngine();
  fuzz::Render(1);
  return 0;
}
