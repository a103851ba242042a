// Writes the demo tunings into TUNINGS and the demo synths into
// "SYNTHS\DEMO <version>" beside the program, with the program's own tuning
// and synth writers, plus the sound the sample-player demo plays.
//
//     make_demos <program folder> <scratch folder>
//
// The scratch folder stands in for the data folder while the synths are
// saved. Every synth plays at once: from the on-screen keyboard, or by
// itself from a sequencer. The set values come from tools/demo_values.h, the
// table the shipped-demo test checks the loaded synths against.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/documents/doc_hooks.h"
#include "app/documents/synth_file.h"
#include "app/documents/wave_convert.h"
#include "app/fixed_tables.h"
#include "app/state/history.h"
#include "app/state/wave_library.h"
#include "audio/wav.h"
#include "basics/dynzstring.h"
#include "basics/program.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/adsr.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/oscillators.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/stepseq.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"
#include "engine/ui_hooks.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "tools/demo_tunings.h"
#include "tools/demo_values.h"

namespace {

using namespace Tarvelo;

// The rate the demos are made at: the one their table of values is worked out for.
constexpr float kRate = static_cast<float>(kDemoRate);

enum Shape : int32_t { kSine = 0, kTriangle = 1, kSquare = 2, kSaw = 3 };

// Where each block stands on the plane: the output port sits at (960, 900)
// and the blocks above it, a column per stage of the signal's way.
std::map<int64_t, std::pair<int32_t, int32_t>> g_places;
// Boxes made for the demo so far: each block's box id. Not its list index,
// which moves when a module of a type already listed is inserted beside it.
int32_t g_boxes = 0;
int32_t PlaceVisible(int64_t control) { return g_places.count(control) ? -1 : 0; }
int32_t PlaceX(int64_t control) { return g_places.count(control) ? g_places[control].first : 0; }
int32_t PlaceY(int64_t control) { return g_places.count(control) ? g_places[control].second : 0; }
void OutputPort(int32_t* x, int32_t* y) { *x = 960, *y = 900; }

ModuleRecord* Add(int32_t type, int32_t column, int32_t row) {
  ModuleRecord* m = nullptr;
  if (AddModule(type, true, &m) < 0 || m == nullptr) {
    std::fprintf(stderr, "make_demos: module type %d cannot be made\n", type);
    std::exit(1);
  }
  m->BoxControl.Store(100000 + ++g_boxes);
  g_places[m->BoxControl.Load()] = {360 + 200 * column, 120 + 150 * row};
  return m;
}
void Link(ModuleRecord* m, int32_t port, ModuleRecord* source) {
  if (ModuleLinkInput(*m, port, source, &ModuleCatalog[m->Type]) != kLinkConnected) {
    std::fprintf(stderr, "make_demos: port %d of type %d refuses its link\n", port, m->Type);
    std::exit(1);
  }
}
// A value in the units the parameter holds, through its setter. A value
// outside the range a load keeps (a value in the wrong unit, as hertz for a
// coefficient) would come back as the default: the demos are not made.
void Set(ModuleRecord* m, int32_t p, float value) {
  float lo = 0.0f, hi = 0.0f;
  if (p >= 0 && p < m->ParamCount) StoredParamBounds(m->Params[p], lo, hi);
  if (p < 0 || p >= m->ParamCount || !(value >= lo && value <= hi)) {
    std::fprintf(stderr, "make_demos: %g is outside parameter %d of type %d (%g .. %g)\n", value, p, m->Type, lo, hi);
    std::exit(1);
  }
  ModuleSetParamValue(*m, p, value);
}
// The instance-th module of the type in the synth being made.
ModuleRecord* Made(int32_t type, int32_t instance) {
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    if (m != nullptr && m->Type == type && m->InstanceNumber.Load() == instance) return m;
  }
  std::fprintf(stderr, "make_demos: no module %d of type %d to set\n", instance, type);
  std::exit(1);
}
void SetDemoValues(int32_t demo) {
  for (const DemoModuleValues& row : DemoValues())
    if (row.demo == demo)
      for (const auto& [p, value] : row.values) Set(Made(row.type, row.instance), p, value);
}
// Players and sequencers run only while their play switch is on.
void Play(ModuleRecord* m) { m->ModuleSwitches[kSwitchPlay].Store(-1); }
void PerVoice(ModuleRecord* m) {
  m->ModuleSwitches[kSwitchPerVoice].Store(-1);
  m->PolyphonyMode.Store(1);
}

// Keyboard -> envelope -> per-voice oscillator following it.
struct Voice {
  ModuleRecord* keyboard;
  ModuleRecord* envelope;
  ModuleRecord* oscillator;
};
ModuleRecord* Envelope(ModuleRecord* source, int32_t column) {
  ModuleRecord* env = Add(kTypeAdsr, column, 1);
  Link(env, kAdsrFrequency, source);
  return env;
}
ModuleRecord* Oscillator(ModuleRecord* env, int32_t shape, int32_t column) {
  ModuleRecord* osc = Add(kTypeOscillator, column, 2);
  PerVoice(osc);
  SetOscillatorShape(*osc, shape);
  Link(osc, kOscFrequency, env);
  Link(osc, kOscAmplitude, env);
  return osc;
}
Voice KeyboardVoice(int32_t shape) {
  Voice v{};
  v.keyboard = Add(kTypeKeyboard, 0, 0);
  PerVoice(v.keyboard);
  v.envelope = Envelope(v.keyboard, 1);
  v.oscillator = Oscillator(v.envelope, shape, 2);
  return v;
}
ModuleRecord* Filter(ModuleRecord* in, int32_t column) {
  ModuleRecord* f = Add(kDemoFilter, column, 3);
  Link(f, 0, in);
  return f;
}
ModuleRecord* Echo(ModuleRecord* in, int32_t column, int32_t row = 3) {
  ModuleRecord* e = Add(kDemoEcho, column, row);
  Link(e, 0, in);
  return e;
}
void Output(ModuleRecord* m) { RequestGraphRebuild(0, 0, m); }

// The sound of the sample-player demos: a reed-like tone (odd partials strong,
// a little of the even ones), looped by the player at the key's frequency
// while the envelope shapes it. The player's speed comes from the pitch found
// in a 2048-frame block, whose peak is refined with its two neighbour bins:
// one cycle per block would put the fundamental in bin 1 between the mean
// and the second partial, which pull the estimate 114 cents flat. Whole
// cycles with empty bins on both sides of each partial are found exactly.
constexpr int32_t kReedFrames = 2048;
constexpr int32_t kReedCycles = 8;
constexpr float kReedPitch = kRate * kReedCycles / kReedFrames;  // 187.5 Hz

std::vector<float> ReedCycle() {
  const double partials[][2] = {{1, 1.0}, {2, 0.12}, {3, 0.55}, {4, 0.08}, {5, 0.35}, {7, 0.2}, {9, 0.1}};
  std::vector<float> out(kReedFrames);
  for (int32_t i = 0; i < kReedFrames; ++i) {
    double v = 0.0;
    for (const auto& p : partials) v += p[1] * std::sin(2.0 * M_PI * p[0] * kReedCycles * i / kReedFrames);
    out[static_cast<size_t>(i)] = static_cast<float>(0.45 * v);
  }
  return out;
}

int32_t WriteSound(const std::string& folder, const std::string& file, const std::vector<float>& mono) {
  QUARLE_AUDIO::SoundBuffer sb{};
  QUARLE_AUDIO::SoundBufferInitFormat(&sb, 1, 32, static_cast<int32_t>(kRate));
  sb.frameCount = static_cast<uint32_t>(mono.size());
  sb.dataSize = static_cast<uint32_t>(mono.size() * sizeof(float));
  sb.samples = static_cast<float*>(std::malloc(sb.dataSize));
  std::copy(mono.begin(), mono.end(), sb.samples);
  const int32_t rc = QUARLE_AUDIO::SaveWavFile(folder + "\\" + file, &sb, 32);
  QUARLE_AUDIO::SoundBufferFree(&sb);
  return rc;
}

// A sample player on the reed cycle, played from the keyboard.
ModuleRecord* SamplePlayer(const std::string& soundFolder, ModuleRecord* env, int32_t column) {
  const int32_t lib = ConvertAndLoadWave(soundFolder, kDemoSoundFile);
  if (lib < 0 || AddLoadedWave(*SampleLibrary.entries[lib], -1) < 0) {
    std::fprintf(stderr, "make_demos: the demo sound cannot be loaded (%d)\n", lib);
    std::exit(1);
  }
  WaveLibraryEntry* sound = SynthSamples.entries[SynthSamples.header.count - 1];
  if (std::fabs(sound->Pitch[0] / kReedPitch - 1.0f) > 1e-4f) {
    std::fprintf(stderr, "make_demos: the demo sound's pitch reads %g Hz, not %g\n", sound->Pitch[0], kReedPitch);
    std::exit(1);
  }
  // The synth files name the sound by a folder that exists nowhere but ends
  // in the data folder's sound folder, where the program finds its copy.
  QUARLE_BASICS::DynZStringAssign(sound->Folder, std::string(kDemoSoundFolder));
  QUARLE_BASICS::DynZStringAssign(SampleLibrary.entries[lib]->Folder, std::string(kDemoSoundFolder));
  ModuleRecord* smp = Add(kTypeSample, column, 2);
  PerVoice(smp);
  Play(smp);
  smp->ModuleSwitches[kSwitchLoop].Store(-1);
  AttachWaveToModule(smp, sound, 0);
  Link(smp, kSampleFrequency, env);
  Link(smp, kSampleAmplitude, env);
  return smp;
}

// Each demo's modules and links, in the order of kDemoSynthFiles.
struct Demo {
  const char* tuning;  // file in TUNINGS
  std::function<void(const std::string& soundFolder)> build;
};

const Demo kDemos[] = {
    {"12-EDO.tng",
     [](const std::string&) {
       const Voice v = KeyboardVoice(kSaw);
       Output(Echo(Filter(v.oscillator, 3), 4));
     }},
    {"12-EDO.tng",
     [](const std::string&) {
       ModuleRecord* steps = Add(kTypeStepSequencer, 0, 0);
       Play(steps);
       ModuleRecord* osc = Oscillator(Envelope(steps, 1), kSquare, 2);
       ModuleRecord* limiter = Add(kDemoSoftLimiter, 4, 3);
       Link(limiter, 0, Filter(osc, 3));
       Output(limiter);
     }},
    {"5-limit just intonation.tng",
     [](const std::string&) {
       // A still oscillator publishes its bias: the root key the melody grows from.
       ModuleRecord* root = Add(kTypeOscillator, 0, 0);
       ModuleRecord* mel = Add(kTypeMelodyGenerator, 1, 0);
       Play(mel);
       Link(mel, kMelFrequency, root);
       ModuleRecord* osc = Oscillator(Envelope(mel, 2), kTriangle, 3);
       Output(Echo(osc, 4));
     }},
    {"Werckmeister III.tng",
     [](const std::string& soundFolder) {
       ModuleRecord* kb = Add(kTypeKeyboard, 0, 0);
       PerVoice(kb);
       Output(SamplePlayer(soundFolder, Envelope(kb, 1), 2));
     }},
    {"Quarter-comma meantone.tng",
     [](const std::string&) {
       const Voice v = KeyboardVoice(kTriangle);
       ModuleRecord* left = Echo(v.oscillator, 3, 2);
       ModuleRecord* right = Echo(v.oscillator, 3, 3);
       ModuleRecord* join = Add(kDemoJoinStereo, 4, 3);
       Link(join, 0, left);
       Link(join, 1, right);
       Output(join);
     }},
    {"12-EDO.tng",
     [](const std::string& soundFolder) {
       const Voice v = KeyboardVoice(kSaw);
       ModuleRecord* reed = SamplePlayer(soundFolder, v.envelope, 3);
       ModuleRecord* voc = Add(kDemoVocoder, 3, 3);
       Link(voc, 0, v.oscillator);
       Link(voc, 1, reed);
       // The saw and the reed of one key rise and fall together, so their
       // product never changes sign: the high pass takes its offset away.
       Output(Filter(voc, 4));
     }},
    {"19-EDO.tng",
     [](const std::string&) {
       const Voice v = KeyboardVoice(kSine);
       ModuleRecord* fold = Add(kDemoWaveFolder, 3, 3);
       Link(fold, 0, v.oscillator);
       Output(Filter(fold, 4));
     }},
    {"Pythagorean.tng",
     [](const std::string& soundFolder) {
       ModuleRecord* kb = Add(kTypeKeyboard, 0, 0);
       PerVoice(kb);
       ModuleRecord* smp = SamplePlayer(soundFolder, Envelope(kb, 1), 2);
       Output(Echo(smp, 3));
     }},
};
static_assert(std::size(kDemos) == std::size(kDemoSynthFiles));

void Fail(const char* what, int32_t rc) {
  std::fprintf(stderr, "make_demos: %s failed (%d)\n", what, rc);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_demos <program folder> <scratch folder>\n");
    return 2;
  }
  namespace fs = std::filesystem;
  const std::string program = platform::FromOsPath(fs::absolute(argv[1]).string());
  const fs::path scratch = fs::absolute(argv[2]);
  SetProductIdentity();
  SetLanguageAndLevelTables();
  const std::string synths = program + "\\SYNTHS\\DEMO " + ProductVersion;
  const std::string tunings = program + "\\TUNINGS";
  const std::string sounds = program + kDemoSoundFolder;
  for (const std::string& folder : {synths, tunings, sounds}) fs::create_directories(platform::ToOsPath(folder));
  fs::remove_all(scratch);
  fs::create_directories(scratch / "AUDIO" / "CONVERTED");
  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(scratch.string()));

  for (platform::Mutex*& m : MT_TUNINGS) m = platform::MutexCreate();
  for (const DemoTuning& d : DemoTunings()) {
    Tuning t;
    InitTuning(t);
    MakeDemoTuning(t, d);
    QUARLE_BASICS::DynZStringAssign(t.Folder, tunings);
    QUARLE_BASICS::DynZStringAssign(t.FileName, d.file);
    if (const int32_t rc = SaveTuning(t)) Fail(d.file, rc);
    FreeTuning(t);
  }

  if (const int32_t rc = WriteSound(sounds, kDemoSoundFile, ReedCycle())) Fail("the demo sound", rc);

  if (init(kRate) != 0 || WaveLibraryListsCreate() != 0 || ActionHistoryCreate() != 0) Fail("start-up", -1);
  EngineUi.Visible = PlaceVisible;
  EngineUi.X = PlaceX;
  EngineUi.Y = PlaceY;
  DocumentUi.OutputPortPosition = OutputPort;
  for (int32_t i = 0; i < static_cast<int32_t>(std::size(kDemos)); ++i) {
    const Demo& demo = kDemos[i];
    ClearSynth();
    SynthOutputModule.store(nullptr);
    UpdateProcessingOrder(0);
    ReclaimRemovedModules();
    // Each synth names only the sounds it plays.
    while (SynthSamples.header.count > 0)
      WaveLibraryEntryDelete(WaveLibraryListTake(SynthSamples, SynthSamples.header.count - 1));
    g_places.clear();
    g_boxes = 0;
    // As the sound: a folder the program maps into the data folder's TUNINGS.
    QUARLE_BASICS::DynZStringAssign(ActiveTuning.Folder, "\\TUNINGS");
    QUARLE_BASICS::DynZStringAssign(ActiveTuning.FileName, demo.tuning);
    demo.build(sounds);
    SetDemoValues(i);
    if (const int32_t rc = SaveSession(synths, kDemoSynthFiles[i])) Fail(kDemoSynthFiles[i], rc);
  }
  ClearSynth();
  UpdateProcessingOrder(0);
  ReclaimRemovedModules();
  ActionHistoryFree();
  WaveLibraryListsFree();
  close();
  std::printf("make_demos: %zu synths in %s, %zu tunings\n", std::size(kDemos),
              platform::ToOsPath(synths).c_str(), DemoTunings().size());
  return 0;
}
