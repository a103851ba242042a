// The module-type catalog: one template per module type. Every live module is a
// copy of its type's template, so the template fixes the type's process
// functions, ports, settings and scheduling flags.
#pragma once
#include <cstdint>
#include <string>

#include "basics/dynzstring.h"
#include "engine/module.h"

namespace Tarvelo {

constexpr int32_t kCatalogSlots = 44;  // slot 43 gets only the common defaults

// Index = module type; slot 43 is never used. The templates' values are the
// graph owner's (a move learnt on a Catalog row is queued for the render while
// playing); the interface rewrites or copies a template under a frame hold and
// the module list's lock, under which the video thread reads the selected one.
// one thread: graph owner
extern ModuleRecord ModuleCatalog[kCatalogSlots];
extern int64_t CatalogBuilt;  // -1 once the templates exist; one thread: start-up

// The order in which the palette shows the types (values are type indices).
// one thread: start-up
extern int32_t ModulePaletteOrder[kModuleTypeCount];
extern const int32_t kModulePaletteOrder[kModuleTypeCount];

// Wave shapes of the oscillator and window functions of the FIR design; the
// kernels install the functions, the start-up sets the names.
using WaveFunction = float (*)(float* phase, float amplitude, float step, float offset, float factor,
                               float duty);
using WindowFunction = int32_t (*)(float* out, int32_t n, float a, float b);
constexpr int32_t kWaveShapeCount = 12;
constexpr int32_t kWindowFunctionCount = 9;
// one thread: start-up, the catalog's tables
struct WaveShapeEntry {
  WaveFunction Function;
  DynZString Name;
};
// one thread: start-up, the catalog's tables
struct WindowFunctionEntry {
  WindowFunction Function;
  DynZString Name;
};
// one thread: start-up
extern WaveShapeEntry WaveShapeTable[kWaveShapeCount];
extern WindowFunctionEntry WindowFunctionTable[kWindowFunctionCount];
void FillKernelTables();
void FreeKernelTables();

// Width in pixels of a text at a size in the interface's text font. The text
// engine installs the real measure; the default assumes half the size per
// character.
// one thread: start-up
extern int32_t (*CatalogTextWidth)(const std::string& text, int32_t size);

// Builds all templates: the common defaults, one block per type in definition
// order, then the finishing pass. 0, or -21 when an allocation fails (what was
// built can still be freed).
int32_t BuildCatalog();
// Frees what the templates own.
void FreeCatalog();

// --- Helpers of the per-type blocks.

// Definition order of the types (block d defines type kDefinitionOrder[d]).
extern const int32_t kDefinitionOrder[kModuleTypeCount];
// The per-type blocks, in definition order; each fills its template.
using TypeBlock = int32_t (*)(ModuleRecord& t);
extern const TypeBlock kTypeBlocks[kModuleTypeCount];

// Names shared by many parameters (messages 500..508), looked up once before
// the type blocks run.
enum CommonName : int32_t {
  kNameBias = 0,      // "Bias (Amplitude offset)"
  kNameAmplitude,     // "Amplitude"
  kNameFrequency,     // "Frequency"
  kNameInput,         // "Input"
  kNameDutyCycle,     // "Duty cycle"
  kNameTempo,         // "Tempo"
  kNameVelocity,      // "Velocity"
  kNamePeriod,        // "Period"
  kNameThreshold,     // "Threshold"
  kCommonNameCount,
};
extern std::string CommonNames[kCommonNameCount];  // one thread: start-up
void LookUpCommonNames();

// Name (from the message table) and short name: the given text, or the
// abbreviated name when shortName is null.
void SetTypeName(ModuleRecord& t, uint32_t message, const char* english, const char* shortName);
// Long name and label of parameter p.
void SetParamName(ModuleRecord& t, int32_t p, const std::string& longName, const char* label);
void SetParamName(ModuleRecord& t, int32_t p, uint32_t message, const char* english, const char* label);
// Limits, scale and default (displayed units) of parameter p.
// Begins a type block: name, short name and category.
void BeginType(ModuleRecord& t, uint32_t message, const char* english, const char* shortName, int32_t category);
void SetParamRange(ModuleRecord& t, int32_t p, float min, float max, float value, float scale = 1.0f);

// The finishing pass of one template: "Feedback seed", derived flags, port
// value modules, box size. 0 or -21.
int32_t FinishTemplate(ModuleRecord& t);

}  // namespace Tarvelo
