// Every thread at once, as in a live set: the real audio thread renders a demo
// synth into OpenAL Soft's wave driver, a MIDI device plays notes and moves
// controllers (one bound to a module, one to the selection) through the MIDI
// thread, and the interface thread copies linked modules, links, unlinks,
// removes and switches off modules, types values, saves and loads, and is
// overloaded through the audio thread's test seam (after which Play must bring
// the stream back). Run under AddressSanitizer and ThreadSanitizer this is the
// proof that no thread frees or writes what another reads; here it checks that
// every save and load succeeds, every saved file loads back equal, and after
// every load a note from the MIDI device holds a key on a keyboard (and the
// demo as shipped sounds with it); every other time the device is unplugged
// with that key down, while its player sends, and the key must go up (then it
// is plugged in again).
//
// TARVELO_STRESS_SECONDS sets how long it runs (CI: 45 s);
// TARVELO_STRESS_FIGURES names a file that receives the figures
// (tests/stress_soak.sh runs it for ten minutes).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/documents/synth_file.h"
#include "app/documents/take_recovery.h"
#include "app/fixed_tables.h"
#include "app/state/console.h"
#include "app/state/history.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "audio/meters.h"
#include "audio/midi.h"
#include "audio/openal_env.h"
#include "sync_count.h"
#include "audio/thread.h"
#include "audio/wav.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/sequencer.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/params.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "platform/midi.h"
#include "platform/paths.h"
#include "platform/saver.h"
#include "platform/threads.h"
#include "ui/build/callbacks.h"
#include "ui/build/frame.h"
#include "ui/panels/filter_panel.h"
#include "ui/panels/install.h"
#include "ui/panels/melody_panel.h"
#include "ui/panels/module_panel.h"
#include "ui/panels/panel_common.h"
#include "ui/panels/sample_panel.h"
#include "app/documents/synth_file_walk.h"
#include "ui/ui_fixture.h"
#include "visuals/controls.h"
#include "visuals/fonts.h"
#include "visuals/visuals.h"

namespace QA = QUARLE_AUDIO;
namespace QB = QUARLE_BASICS;
namespace fs = std::filesystem;
using namespace Tarvelo;

namespace {

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::vector<unsigned char> Bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t StatesAt(const std::vector<unsigned char>& b) { return synthfile::WalkLists(b).statesAt; }

// The 32-bit word at a byte of both files: as a float, and its bits.
std::string WordsAt(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b, size_t at) {
  auto word = [&](const std::vector<unsigned char>& f) {
    if (at + 4 > f.size()) return std::string("(none)");
    float x = 0.0f;
    uint32_t bits = 0;
    std::memcpy(&x, f.data() + at, 4);
    std::memcpy(&bits, f.data() + at, 4);
    char text[48];
    std::snprintf(text, sizeof text, "%.9g (0x%08x)", static_cast<double>(x), bits);
    return std::string(text);
  };
  return ": saved " + word(a) + ", saved again after the load " + word(b);
}

// The field of a module file record at byte `in` of it (file offset `at`).
std::string RecordFieldsAt(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b, size_t at,
                           size_t in) {
  const size_t start = at - in;
  int32_t instance = 0;
  if (start + 16 <= a.size()) std::memcpy(&instance, a.data() + start + 12, 4);
  std::string field;
  auto cell = [](size_t off, size_t voices) {
    const size_t slot = off / 8;
    return "[" + std::to_string(slot / voices) + "][" + std::to_string(slot % voices) + "][" +
           std::to_string(off % 8 / 4) + "]";
  };
  constexpr size_t kParams = offsetof(ModuleFileRecord, Params);
  constexpr size_t kOptions = offsetof(ModuleFileRecord, OptionWords);
  constexpr size_t kSlots = offsetof(ModuleFileRecord, Slots);
  if (in >= kSlots) {
    field = "Slots" + cell(in - kSlots, 33);
  } else if (in >= kOptions) {
    field = "OptionWords[" + std::to_string((in - kOptions) / 8) + "]";
  } else if (in >= kParams) {
    const size_t p = (in - kParams) / sizeof(ParamFileBlock);
    const size_t off = (in - kParams) % sizeof(ParamFileBlock);
    constexpr size_t kImage = offsetof(ParamFileBlock, Image);
    field = "Params[" + std::to_string(p) + "]" +
            (off >= kImage ? ".Image" + cell(off - kImage, 33) : ", byte " + std::to_string(off));
  } else {
    field = "byte " + std::to_string(in) + " of the head";
  }
  return ", module instance " + std::to_string(instance) + ", " + field + WordsAt(a, b, start + (in & ~size_t{3}));
}
// A synth file with its keyboard states as a load takes them: only voices
// still on survive (a note the device played and released may still sound in
// its release when a save copies the state), and the Changed words are cleared
// (a load marks every state changed for the render, which clears the mark at
// its next frame, so a file saved at rest right after a load holds -1 where one
// saved while playing holds 0).
std::vector<unsigned char> StatesAsLoaded(std::vector<unsigned char> b) {
  const size_t at = StatesAt(b);
  for (int32_t k = 0; k < 2 * 16; ++k) {
    const size_t from = at + k * sizeof(KeyboardState);
    if (from + sizeof(KeyboardState) > b.size()) break;
    KeyboardState state;
    std::memcpy(static_cast<void*>(&state), b.data() + from, sizeof state);
    SanitizeKeyboardState(state);
    state.Changed.Store(0);
    std::memcpy(b.data() + from, &state, sizeof state);
  }
  return b;
}

// The interface thread's turn of the event loop: every queue-0 message goes to
// the system-message handler, as the program's loop does.
QB::CommandMessage* g_fetch = nullptr;
QB::ArrayHeader g_fetchHeader;

// Start and stop reports taken so far, and the MIDI thread's reports of a
// note it played on a keyboard.
int64_t g_starts = 0;
int64_t g_stops = 0;
int64_t g_keyboardNotes = 0;
// The loudest output (dB, either channel) of the meter reports the render
// made since g_listenFrom (on the clock of their time stamps).
float g_loudest = QA::kMeterFloorDb;
double g_listenFrom = 0.0;

void TakeMessages() {
  if (QB::FetchCommands(g_fetch, g_fetchHeader, QB::MainCommandQueue) != 0) return;
  for (int32_t i = 0; i < g_fetchHeader.count; ++i) {
    g_starts += g_fetch[i].type == QA::kAudioPlaybackOn;
    g_stops += g_fetch[i].type == QA::kAudioPlaybackOff;
    g_keyboardNotes += g_fetch[i].type == QA::kMidiReportKeyPressed;
    if (g_fetch[i].type == QA::kReportMeterValues && g_fetch[i].timeStamp >= g_listenFrom) {
      // Read as the meters' draws read them: the report's block belongs to a
      // ring the audio thread writes again once this thread falls behind it.
      platform::MutexGuard lock(QA::MT_AUDIO);
      g_loudest = std::max({g_loudest, QA::OutputMeters[0].level, QA::OutputMeters[1].level});
    }
    HandleSystemMessage(&g_fetch[i]);
  }
  TakeControllerMoves(false);
  ReclaimRemovedModules();
}

// The interface's loop until pred holds; false only past a bound that catches
// a hang (see audiotest::WaitUntil): a busy machine may take its time.
template <class Pred>
bool PumpUntil(Pred pred, double seconds) {
  const double end = Now() + std::max(seconds * audiotest::kSanitizerSlowdown, audiotest::kHangBound);
  while (!pred()) {
    if (Now() > end) return false;
    TakeMessages();
    platform::SleepMs(1);
  }
  return true;
}

// The Play button (the order is rebuilt, then the audio thread is asked), with
// the output connected again as a user would after an overload; true once
// the start is taken. A render slower than real time (ThreadSanitizer) may
// overload again at once.
bool PressPlay(ModuleRecord* output) {
  if (PlaybackActive.load() != 0) return true;
  if (SynthOutputModule.load() == nullptr && output != nullptr) RequestGraphRebuild(0, 0, output);
  UpdateProcessingOrder(~uint64_t{0});
  const int64_t starts = g_starts;
  audiotest::PostAudio(QA::kAudioPlaybackOn);
  return PumpUntil([&] { return g_starts > starts; }, 3.0);
}

int32_t g_param = 0;
int32_t SelectedParam() { return g_param; }

constexpr int32_t kStressConvolutive = 17;

std::atomic<int32_t> g_overloadMessages{0};
// Warnings of a command that waited for the audio thread, and of a save that
// copied without a frame hold.
std::atomic<int32_t> g_commandWarnings{0};
std::atomic<int32_t> g_unheldSaves{0};
void CountMessage(const std::string& text, int32_t) {
  if (text == "Playback: work overload!") g_overloadMessages.fetch_add(1);
  if (text.rfind("Engine command: the audio thread has not taken", 0) == 0) g_commandWarnings.fetch_add(1);
  if (text.rfind("The audio engine did not pause for the save", 0) == 0) g_unheldSaves.fetch_add(1);
}

// The interface built without a screen, so that the panels' buttons can be
// pressed as a user presses them.
void BuildHeadlessInterface() {
  uitest::StartHeadlessVisuals();
  platform::SetProgramFolderOverride("/usr/share/fonts/truetype/dejavu");
  QUARLE_VISUALS::LoadFonts("/DejaVuSans-Bold.ttf", "/DejaVuSans.ttf");
  platform::SetProgramFolderOverride("");
  QUARLE_VISUALS::UiIndex = static_cast<int32_t*>(std::calloc(kUiSlotCount, sizeof(int32_t)));
  QUARLE_VISUALS::DialogEditIndex = static_cast<int32_t*>(std::calloc(1, sizeof(int32_t)));
  ResetUiCallbacks();
  Settings.AutoSave = 0;
  Settings.Scope = 0;
  UiUnit = 5;
  QUARLE_VISUALS::BorderWidth = 3;
  QUARLE_VISUALS::IconFont.IconSize = 22;
  DefaultTextSize = 20;
  QUARLE_VISUALS::ScreenWidth = 1920;
  QUARLE_VISUALS::ScreenHeight = 1080;
  QUARLE_VISUALS::InterfaceReady = 0;
  ASSERT_EQ(MessageConsoleCreate(), 0);
  InstallPanelHandlersB();
  ASSERT_EQ(BuildInterface(1.0f), 0);
}

int32_t Click(QUARLE_VISUALS::EventCallbackFn fn, int32_t id) {
  const QUARLE_VISUALS::ControlRecord* c = QUARLE_VISUALS::ControlAt(id);
  return fn(QUARLE_VISUALS::kEventClick, c->X + 1, c->Y + 1, id, 0);
}
void Select(int32_t slot, int32_t row) { QUARLE_VISUALS::ControlAt(SlotId(slot))->Text.Selected = row; }

ModuleRecord* FirstOfType(int32_t type) {
  for (int32_t i = 0; i < ModuleList.count; ++i)
    if (ModuleList.entries[i] != nullptr && ModuleList.entries[i]->Type == type) return ModuleList.entries[i];
  return nullptr;
}

// A sound, taps or a melody the buttons can set, in memory until a save
// writes it (a load may leave a placeholder instead: then a new one is made).
int32_t UsableEntry(WaveLibraryList& list, const std::string& folder, const std::string& stem, int32_t frames,
                    int32_t& made) {
  for (int32_t i = 0; i < list.header.count; ++i) {
    const WaveLibraryEntry* e = list.entries[i];
    // A take's entry is read only once the render handed it over idle.
    if (e != nullptr && e->State.Load(std::memory_order_acquire) == kWaveIdle && e->Sound.samples != nullptr && e->Sound.frameCount > 0 &&
        QB::DynZStringGet(e->File).rfind(stem, 0) == 0)
      return i;
  }
  if (WaveLibraryListReserve(list) != 0) return -1;
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  QB::DynZStringAssign(e->Folder, folder);
  QB::DynZStringAssign(e->File, stem + std::to_string(++made) + (&list == &MelodyLibrary ? ".mel" : ".wav"));
  QA::SoundBufferSetFormat(&e->Sound, 1, 48000, 32);
  e->Sound.frameCount = static_cast<uint32_t>(frames);
  e->Sound.dataSize = static_cast<uint32_t>(frames * 4);
  e->Sound.samples = static_cast<float*>(std::calloc(frames + 1, sizeof(float)));
  for (int32_t i = 0; i < frames; ++i) e->Sound.samples[i] = 0.25f * static_cast<float>(i % 4) - 0.375f;
  e->RateRatio = QB::Ratio{1, 1};
  e->LoadState = kWaveDataHeld;
  e->State.Store(kWaveIdle);
  e->Saved = 0;
  e->ListIndex = list.header.count;
  WaveLibraryListCommit(list, e);
  return e->ListIndex;
}

// A value the interface set, as the saved file must hold it.
struct SetValue {
  ModuleRecord* module;
  int32_t p;
  float value;
  int32_t listIndex;
};

// Right before a save: the sample, filter and melody pages' Set buttons on
// modules of their own, a value typed on a module's parameter and that
// parameter's channels linked (or unlinked) on the module page. Returns what
// the file must hold.
std::vector<SetValue> PressSetButtonsAndType(std::mt19937& rng, const std::string& home, int32_t& made,
                                             int64_t& presses) {
  auto pick = [&](int32_t n) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(n)); };
  std::vector<SetValue> set;
  ModuleRecord* sample = FirstOfType(kTypeSample);
  ModuleRecord* filter = FirstOfType(kStressConvolutive);
  ModuleRecord* sequencer = FirstOfType(kTypeSequencer);
  ModuleRecord* out = SynthOutputModule.load();
  if (sample == nullptr && AddModule(kTypeSample, true, &sample) < 0) return set;
  if (sequencer == nullptr) {
    if (AddModule(kTypeSequencer, true, &sequencer) < 0) return set;
    sequencer->ModuleSwitches[kSwitchPlay].Store(0);  // not yet listed in the order
    if (out != nullptr && out->PortCount > 1) PostLinkInput(out, out->PortCount - 2, sequencer, out->Type);
  }
  if (filter == nullptr) {
    if (AddModule(kStressConvolutive, true, &filter) < 0) return set;
    PostLinkInput(filter, filter->RequiredPort, sample, kStressConvolutive);
    if (out != nullptr && out->PortCount > 0) PostLinkInput(out, out->PortCount - 1, filter, out->Type);
  }
  const float round = static_cast<float>(1 + pick(1000));

  const int32_t sound = UsableEntry(SynthSamples, home + "\\AUDIO", "stress_sound_", 480, made);
  const int32_t taps = UsableEntry(FilterLibrary, home + "\\FILTERS", "FIR_stress_", 16, made);
  const int32_t tune = UsableEntry(MelodyLibrary, home + "\\MELODIES", "stress_tune_", 16, made);
  if (sound >= 0) {
    SynthSamples.entries[sound]->Pitch[0] = round;
    SelectedModule = sample;
    Select(kUiWLIST, sound);
    Click(OnSampleSet, SlotId(kUiWLIST) + 3);
    set.push_back({sample, 2, round / RateQuarter, -1});
  }
  if (taps >= 0) {
    FilterLibrary.entries[taps]->Pitch[0] = 0.001f * round;
    SelectedModule = filter;
    Select(kUiFLIST, taps);
    Click(OnFilterSet, SlotId(kUiFWS_WINDOW) + 4);
    set.push_back({filter, 3, 0.001f * round, -1});
  }
  bool scaled = true;
  for (int32_t p : {0, 2, 3, 4}) scaled = scaled && sequencer->Params[p].Scale != 0.0f;
  if (tune >= 0 && scaled) {
    // Within each parameter's range, which a load keeps.
    auto within = [&](int32_t p) {
      const ModuleParam& q = sequencer->Params[p];
      const float lo = std::min(q.Min / q.Scale, q.Max / q.Scale), hi = std::max(q.Min / q.Scale, q.Max / q.Scale);
      return lo + (hi - lo) * round / 1000.0f;
    };
    WaveLibraryEntry* e = MelodyLibrary.entries[tune];
    e->Sound.samples[7] = within(0);
    e->Sound.samples[4] = within(3);
    e->Pitch[0] = within(2);
    e->Duration.Store(within(4));
    SelectedModule = sequencer;
    // Mostly on a playing Sequencer: the page's Play starts one at rest.
    if (sequencer->ModuleSwitches[kSwitchPlay].Load() == 0 && pick(4) != 0) {
      Click(OnModuleSwitch, SlotId(kUiPLAY));
      presses += 1;
    }
    Select(kUiMLIST, tune);
    // Set changes nothing on a Sequencer recording: a take the record button
    // began may still run when its end, posted before the save, waited out,
    // or its start may still wait for the render (Set waits for it too, and
    // refuses while it still waits).
    auto recording = [&] { return sequencer->ModuleSwitches[kSwitchRecord].Load() != 0; };
    const bool refused = !SettleCommandsOf(sequencer) || recording();
    Click(OnMelodySet, SlotId(kUiMLIST) + 3);
    // While it plays, a live frequency source on port 0 transposes it: the
    // render writes that frequency into F every frame, so F holds the source's
    // note rather than what Set gave.
    const ModuleRecord* lead = sequencer->PortSources[kSeqFrequency].Load();
    const bool followed = lead != nullptr && lead->Role == kRoleLive;
    if (!refused && !recording())
      for (int32_t p : {0, 2, 3, 4})
        if (p != kSeqFrequency || !followed) set.push_back({sequencer, p, within(p), -1});
  }
  presses += 3;

  // A value typed, then the parameter's channels linked: both carry it. Not
  // on a module a MIDI controller moves meanwhile, nor on the three above.
  ModuleRecord* fixed = nullptr;
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    fixed = MidiMaps[0].Entries[7][0].Target;
  }
  ModuleRecord* some = ModuleList.entries[pick(ModuleList.count)];
  if (some == nullptr || some == fixed || some == sample || some == filter || some == sequencer ||
      some->ParamCount < 1)
    return set;
  const int32_t p = pick(std::min(some->ParamCount, kModuleParams));
  ModuleParam& param = some->Params[p];
  if (param.Scale == 0.0f) return set;
  float shown = (param.RangeLow.Load() + (param.RangeHigh.Load() - param.RangeLow.Load()) * static_cast<float>(pick(100)) / 100.0f) *
                param.Scale;
  float x = std::clamp(shown, param.Min, param.Max) / param.Scale;
  if (param.IntegerFlag != 0) x = std::floor(x + 0.5f);
  SelectedModule = some;
  g_param = p;
  OnParamValueChange(&shown);
  some->SelectedParam.Store(p);
  Click(OnLinkSpatialChannels, SlotId(kUiPSCL));
  presses += 1;
  set.push_back({some, p, x, -1});
  return set;
}

// The record button of a Sequencer and of a Melody Generator linked to the
// output, pressed once a turn: a take starts, then ends at the next press.
// The selected take's tempo is the value the selection's controller moves
// meanwhile, which the button's refresh of the value field reads.
void PressRecordButtons(int64_t& presses) {
  ModuleRecord* out = SynthOutputModule.load();
  for (const int32_t type : {kTypeSequencer, kTypeMelodyGenerator}) {
    ModuleRecord* m = FirstOfType(type);
    if (m == nullptr) {
      if (AddModule(type, true, &m) < 0) continue;
      const int32_t back = type == kTypeSequencer ? 2 : 3;
      if (out != nullptr && out->PortCount > back) PostLinkInput(out, out->PortCount - back, m, out->Type);
    }
    SelectedModule = m;
    m->SelectedParam.Store(2);
    g_param = 2;
    Click(type == kTypeSequencer ? OnSequencerRecord : OnMelodyGeneratorRecord, SlotId(kUiPLAY) + 2);
    ++presses;
  }
}

// A save as the program's Ctrl+S makes it: true once the saver's outcome,
// taken from queue 0 with the other messages, says the file is on the disk.
bool SaveOnDisk(const std::string& folder, const std::string& name, const std::function<void()>& meanwhile) {
  auto told = std::make_shared<int32_t>(1);
  SaveSessionThen(folder, name, [told](int32_t rc) { *told = rc; });
  return PumpUntil(
             [&] {
               meanwhile();
               return *told != 1;
             },
             audiotest::kHangBound) &&
         *told == 0;
}

struct Figures {
  int64_t frames = 0, saves = 0, loads = 0, checks = 0, copies = 0, links = 0, removals = 0, values = 0;
  int64_t overloads = 0, restarts = 0, faults = 0;
  int64_t presses = 0, setValuesChecked = 0, setValuesLost = 0;  // Set buttons and typed values
  int64_t stops = 0;  // every stop taken, overloads of a slow render among them
  // Notes from the device after a load: held, finding every voice busy, and on the demo as shipped.
  int64_t notes = 0, notesHeld = 0, notesBusy = 0, shippedNotes = 0, shippedHeard = 0;
  // The device unplugged with such a note held, and its key up afterwards.
  int64_t unplugs = 0, unplugsLetGo = 0;
};

TEST(ThreadStress, AudioMidiAndInterfaceThreadsTogether) {
  audiotest::InFreshProcess([] {
    const char* secondsText = std::getenv("TARVELO_STRESS_SECONDS");
    const double seconds = secondsText != nullptr ? std::atof(secondsText) : 45.0;
    auto setup = audiotest::ConfigureOpenAl({}, "/dev/null");
    audiotest::SetUpFoundation();
    QB::MessageHook = CountMessage;
    const fs::path home = fs::path(setup.dir) / "Tarvelo";
    for (const char* sub : {"AUDIO/CONVERTED", "AUDIO/RECORDED", "FILTERS", "MELODIES", "SYNTHS", "TUNINGS"})
      fs::create_directories(home / sub);
    const std::string homeText = platform::FromOsPath(home.string());
    const std::string synths = homeText + "\\SYNTHS";
    QB::DynZStringAssign(QB::HomeFolder, homeText);
    SetProductIdentity();
    for (platform::Mutex*& m : MT_TUNINGS) m = platform::MutexCreate();
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);
    ASSERT_EQ(WaveLibraryListsCreate(), 0);
    ASSERT_EQ(ActionHistoryCreate(), 0);
    BuildHeadlessInterface();
    if (HasFatalFailure()) return;
    const fs::path demo = fs::path(TARVELO_PROGRAM_DIR) / "SYNTHS" / (std::string("DEMO ") + ProductVersion) /
                          "01 Poly Saw Pad.tarvelo";
    fs::copy_file(demo, home / "SYNTHS" / "demo.tarvelo");
    ASSERT_EQ(LoadSynth(synths, "demo.tarvelo"), 0);
    ASSERT_NE(SynthOutputModule.load(), nullptr);
    platform::MarkInterfaceThread();
    SelectedParamIndex = SelectedParam;

    // A controller bound to the first module's first value, one to the
    // selection's third.
    {
      platform::MutexGuard guard(MT_MIDIMAPS);
      std::strcpy(MidiMaps[0].DeviceName, "Dev A");
      MidiMapEntry& fixed = MidiMaps[0].Entries[7][0];
      fixed.Mode = kMidiFixedParam;
      fixed.Kind = kControllerStandard;
      fixed.Target = ModuleList.entries[0];
      fixed.Param = 0;
      MidiMapEntry& selected = MidiMaps[0].Entries[10][0];
      selected.Mode = kMidiParamOfSelected;
      selected.Kind = kControllerStandard;
      selected.Param = 2;
    }
    platform::MidiFakeRemoveAll();
    ASSERT_EQ(QA::InitMidiControllerTypes(), 0);
    QA::MidiInCallback = &QA::MidiInProc;
    std::atomic<int32_t> device{platform::MidiFakePlug("Dev A")};
    QA::CheckMidiDevices();

    QB::DynZStringAssign(QA::PlaybackSelectedName, "Wave File Writer");
    ASSERT_EQ(QA::init(&RenderAudio, &CaptureAudio, 48), 0);
    QA::PlaybackHandOver.store(true);
    // A save copies every module between two frames; slowed by a sanitizer as
    // much as the render is, the copy must not outlast the render's wait for it.
    FrameHoldLimit *= audiotest::kSanitizerSlowdown;
    std::thread* audio = nullptr;
    ASSERT_EQ(QA::StartAudioThread(audio, 48000, 10), 0);
    ModuleRecord* output = SynthOutputModule.load();
    ASSERT_TRUE(PressPlay(output));

    std::atomic<bool> stop{false};
    std::atomic<bool> quiet{false};
    std::atomic<bool> resting{false};  // the device's player saw quiet and sends nothing
    std::thread midi([&] {
      for (int32_t i = 0; !stop.load(); ++i) {
        if (quiet.load()) {
          resting = true;
          platform::SleepMs(1);
          continue;
        }
        resting = false;
        const uint8_t key = static_cast<uint8_t>(48 + i % 24);
        const uint8_t value = static_cast<uint8_t>(i % 128);
        platform::MidiFakeSend(device.load(), {0x90, key, 100, 0xB0, 7, value, 0xB0, 10, static_cast<uint8_t>(127 - value),
                                        0x80, key, 0});
        platform::SleepMs(1);
      }
    });

    Figures f;
    // The device's player at rest, and every note it sent handled. It rests
    // only after a send it began has gone out.
    auto hush = [&] {
      quiet = true;
      resting = false;
      if (!PumpUntil([&] { return resting.load(); }, 3.0)) ADD_FAILURE() << "the device's player did not rest";
      platform::MidiInFlush(audiotest::kHangBound);
    };
    // After a load: a note from the device holds its key on the keyboard the
    // device reaches (the current one: the demo's keyboard is bound to no
    // device), and the demo as shipped sounds with it. A note finds no voice
    // while every one is taken: the device's notes, faster than a slow render,
    // fill them with released voices that the keyboard frees as it runs (the
    // wait below is for that), or for good on a keyboard switched off or out
    // of the order; it must still reach the keyboard (the MIDI thread reports
    // each note it plays on one, and only those). It starts nothing while the
    // stream is stopped (a sanitizer's slow render may overload): Play, and
    // again.
    auto noteAfterLoad = [&](bool shipped) {
      const bool wasQuiet = quiet.load();
      hush();
      ++f.notes;
      const int32_t state = CurrentKeyboardIndex.Load();
      auto held = [&](int32_t key) {
        platform::MutexGuard voices(KeyboardVoiceLocks[state]);
        const KeyboardState& s = *KeyboardStates[state].Load();
        const int32_t h = FindHeldKey(s, static_cast<uint32_t>(key));
        return h >= 0 && s.HeldKeys[h].Voice.Load() >= 0;
      };
      auto busy = [&] {
        platform::MutexGuard voices(KeyboardVoiceLocks[state]);
        return FindFreeVoiceSlot(*KeyboardStates[state].Load()) < 0;
      };
      // One the loaded states do not hold already (a locked keyboard keeps its keys).
      uint8_t note = 100;
      while (note < 120 && held(MidiNoteToKey(note))) ++note;
      bool isHeld = false;
      bool reached = false;
      for (int32_t attempt = 0; attempt < 3 && !isHeld; ++attempt) {
        if (PlaybackActive.load() == 0) PressPlay(output);
        const uint64_t until = FrameCounter.load() + 24000;
        PumpUntil([&] { return !busy() || FrameCounter.load() > until || PlaybackActive.load() == 0; }, 3.0);
        TakeMessages();  // the reports of the notes before it
        const int64_t reports = g_keyboardNotes;
        platform::MidiFakeSend(device.load(), {0x90, note, 100});
        platform::MidiInFlush(audiotest::kHangBound);
        isHeld = held(MidiNoteToKey(note));
        TakeMessages();
        reached = g_keyboardNotes > reports;
        if (PlaybackActive.load() != 0) break;
      }
      f.notesHeld += isHeld;
      if (!isHeld && reached && busy()) {
        ++f.notesBusy;
      } else if (!isHeld) {
        ++f.faults;
        const ModuleRecord* current = CurrentKeyboard.load();
        ADD_FAILURE() << "after load " << f.loads << " a note from the MIDI device holds no key (the current keyboard: "
                      << (current != nullptr ? current->InstanceNumber.Load() : 0) << ", playing "
                      << PlaybackActive.load() << ", reached " << reached << ")";
      } else if (shipped) {
        ++f.shippedNotes;
        g_loudest = QA::kMeterFloorDb;
        g_listenFrom = platform::HighResClock();
        const bool heard = PumpUntil(
            [&] {
              if (PlaybackActive.load() == 0) PressPlay(output);
              return g_loudest > -100.0f;
            },
            5.0);
        f.shippedHeard += heard;
        if (!heard) {
          ++f.faults;
          ADD_FAILURE() << "after load " << f.loads << " the demo does not sound with the device's note held";
        }
      }
      quiet = wasQuiet;
      if (!isHeld || f.notes % 2 != 0) {
        platform::MidiFakeSend(device.load(), {0x80, note, 0});
        platform::MidiInFlush(audiotest::kHangBound);
        return;
      }
      // Unplugged instead, its player busy again: the key goes up as the
      // note-off would take it up (which leaves a locked panel keyboard's
      // keys down), and the device comes back under a new number.
      ++f.unplugs;
      platform::MidiFakeUnplug(device.load());
      platform::MidiInFlush(audiotest::kHangBound);
      bool locked = false;
      {
        const int32_t panel = CurrentKeyboardIndex.Load();
        platform::MutexGuard voices(KeyboardVoiceLocks[panel]);
        locked = KeyboardStates[panel].Load()->LockFlag.Load() != 0;
      }
      if (held(MidiNoteToKey(note)) == locked) {
        ++f.unplugsLetGo;
      } else {
        ++f.faults;
        ADD_FAILURE() << "after load " << f.loads << " the device went away and its note "
                      << (locked ? "went up on a locked keyboard" : "sounds on");
      }
      QA::CheckMidiDevices();
      device = platform::MidiFakePlug("Dev A");
      QA::CheckMidiDevices();
    };
    noteAfterLoad(true);
    int32_t made = 0;  // entries the Set buttons were given
    std::mt19937 rng(18);
    auto pick = [&](int32_t n) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(n)); };
    auto listed = [&](int32_t i) { return i >= 0 && i < ModuleList.count ? ModuleList.entries[i] : nullptr; };
    // Saves go through the saver, as in the program.
    platform::SetSaverWake([] { return PostToInterface(kMessageSavesDone); });
    ASSERT_TRUE(platform::SaverStart());
    const double start = Now();
    double nextOverload = start + seconds / 4.0;
    double nextSave = start + 1.0;
    std::vector<ModuleRecord*> copies;
    int32_t round = 0;
    int64_t recordPresses = 0;  // record buttons pressed (takes started and ended)
    // The output's Rec, on and off: the audio thread hands each recording to
    // its writer while everything else runs. Now and then the disk holds the
    // writer's syncs a while (takes begin and end meanwhile): the writer
    // writes on beside its sync thread and names the data once kept. Every
    // other hold is the saver's: the saves then wait for their outcome while
    // the interface's loop goes on.
    double nextRec = start + 0.7;
    int32_t recordings = 0;
    bool recording = false;
    double nextHold = start + 2.0;
    bool held = false;
    int32_t holds = 0;
    // Also while a save waits for its outcome: the disk lets it go in time.
    const std::function<void()> moveHolds = [&] {
      if (Now() < nextHold) return;
      if (held) {
        synccount::Release();
        nextHold = Now() + 3.0;
      } else {
        synccount::Hold(holds % 2 == 0 ? "tarvelo-recsync" : "tarvelo-save");
        ++holds;
        nextHold = Now() + 1.5;
      }
      held = !held;
    };
    while (Now() - start < seconds) {
      ++round;
      TakeMessages();
      moveHolds();
      if (Now() >= nextRec) {
        nextRec = Now() + 0.7;
        if (recording) {
          audiotest::PostAudio(QA::kAudioRecordStop);
        } else {
          const std::string stem = "stress_rec_" + std::to_string(recordings++);
          audiotest::PostAudio(QA::kAudioRecordStart, 0.0f, reinterpret_cast<uintptr_t>(strdup(stem.c_str())));
        }
        recording = !recording;
      }
      if (SynthOutputModule.load() != nullptr) output = SynthOutputModule.load();
      if (PlaybackActive.load() == 0 && !PressPlay(output)) {
        ++f.faults;
        ADD_FAILURE() << "Play did not start the stream";
      }
      const int32_t n = ModuleList.count;
      if (n < 2) continue;
      ModuleRecord* out = SynthOutputModule.load();
      ModuleRecord* some = listed(pick(n));
      switch (round % 6) {
        case 0: {  // a copy of a linked module, linked into the graph
          ModuleRecord* c = nullptr;
          if (some != out && AddModule(some->ListIndex.Load(), false, &c) >= 0) {
            ++f.copies;
            copies.push_back(c);
            ModuleRecord* target = listed(pick(ModuleList.count));
            if (target != nullptr && target != c && target->PortCount > 0) {
              PostLinkInput(target, pick(target->PortCount), c, target->Type);
              ++f.links;
            }
          }
          break;
        }
        case 1: {  // link a copy's port and unlink it again
          if (copies.empty() || copies.back()->PortCount < 1) break;
          ModuleRecord* c = copies.back();
          const int32_t port = pick(c->PortCount);
          PostLinkInput(c, port, some, c->Type);
          PostLinkInput(c, port, some, c->Type);
          f.links += 2;
          break;
        }
        case 2: {  // switch one off for a while, or on again
          some->ModuleSwitches[kSwitchPower].Store(round % 12 == 2 ? 0 : -1, std::memory_order_seq_cst);
          RequestGraphRebuild(0, 0, nullptr);
          break;
        }
        case 3: {  // values typed on the module page and moved by the selection's controller
          SelectedModule = some;
          g_param = some->ParamCount > 0 ? pick(some->ParamCount) : 0;
          if (some->ParamCount > 0 && some->Params[g_param].Scale != 0.0f) {
            ModuleParam& p = some->Params[g_param];
            float shown = (p.RangeLow.Load() + (p.RangeHigh.Load() - p.RangeLow.Load()) * static_cast<float>(pick(100)) / 100.0f) * p.Scale;
            OnParamValueChange(&shown);
            ApplySelectedControllerMove(kMidiSelectedParam, g_param, static_cast<float>(pick(128)) / 127.0f, 0);
            f.values += 2;
          }
          break;
        }
        case 4: {  // a copy goes
          if (copies.size() > 3) {
            ModuleRecord* c = copies.front();
            copies.erase(copies.begin());
            if (c->ListIndex.Load() >= 0) {
              // The device's bound controller moves it up to its delete.
              if (c->ParamCount > 0) {
                platform::MutexGuard guard(MT_MIDIMAPS);
                for (MidiMap* map : MidiDeviceMaps) {
                  if (map == nullptr) continue;
                  MidiMapEntry& fixed = map->Entries[7][0];
                  ClearMidiMapEntry(fixed);
                  fixed.Mode = kMidiFixedParam;
                  fixed.Kind = kControllerStandard;
                  fixed.Target = c;
                  fixed.Param = 0;
                  c->Params[0].MidiMapCount.FetchAdd(1);
                }
              }
              RemoveModule(c);
              ++f.removals;
            }
          }
          break;
        }
        case 5:
          PressRecordButtons(recordPresses);
          break;
        default:
          break;
      }

      if (Now() >= nextSave) {
        nextSave = Now() + 0.5;
        // Takes end before a save, which then holds what they recorded (a
        // Set button on a recording Sequencer would change nothing).
        EndRecordings();
        copies.clear();  // a load replaces every module
        if (f.saves % 4 == 3) {
          // Loaded back equal: a file saved while playing, loaded with the
          // stream and the devices at rest and saved again, is the same bytes
          // (while playing, the synth would play on between the two saves).
          hush();
          const bool saved = SaveOnDisk(synths, "check_a.tarvelo", moveHolds);
          audiotest::PostAudio(QA::kAudioPlaybackOff);
          if (!PumpUntil([] { return PlaybackActive.load() == 0; }, 3.0)) ADD_FAILURE() << "did not stop";
          const bool loaded = saved && LoadSynth(synths, "check_a.tarvelo") == 0;
          const bool again = loaded && SaveOnDisk(synths, "check_b.tarvelo", moveHolds);
          output = SynthOutputModule.load();
          if (!PressPlay(output)) ADD_FAILURE() << "did not start";
          f.saves += saved + again;
          f.loads += loaded;
          if (loaded) noteAfterLoad(false);
          ++f.checks;
          const auto a = StatesAsLoaded(Bytes(home / "SYNTHS" / "check_a.tarvelo"));
          const auto b = StatesAsLoaded(Bytes(home / "SYNTHS" / "check_b.tarvelo"));
          if (!again || a != b) {
            ++f.faults;
            size_t at = 0;
            while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
            // Where: the module record (its type), the byte in it and the
            // field, with the word there in each file.
            const size_t records = StatesAt(a) + 2 * 16 * sizeof(KeyboardState) + 8;
            const size_t record = at >= records ? (at - records) / kModuleFileRecordSize : 0;
            int32_t type = -1;
            if (at >= records) std::memcpy(&type, a.data() + records + record * kModuleFileRecordSize + 8, 4);
            ADD_FAILURE() << "loaded back different: " << a.size() << " and " << b.size() << " bytes, first at " << at
                          << (at >= records ? " (record " + std::to_string(record) + ", type " + std::to_string(type) +
                                                  ", byte " + std::to_string((at - records) % kModuleFileRecordSize) + ")"
                                            : std::string())
                          << (at >= records ? RecordFieldsAt(a, b, at, (at - records) % kModuleFileRecordSize)
                                            : WordsAt(a, b, at >= StatesAt(a) ? at - (at - StatesAt(a)) % 4 : at));
          }
          quiet = false;
        } else {
          // Saved right after the Set buttons and a typed value: the file
          // holds every value set, which a load of it shows.
          std::vector<SetValue> set = PressSetButtonsAndType(rng, homeText, made, f.presses);
          if (SaveOnDisk(synths, "stress.tarvelo", moveHolds))
            ++f.saves;
          else
            ++f.faults;
          for (SetValue& v : set) v.listIndex = v.module->ListIndex.Load();  // the save closes gaps
          const bool checked = f.loads % 2 != 0;
          if (LoadSynth(synths, checked ? "stress.tarvelo" : "demo.tarvelo") == 0) {
            ++f.loads;
            if (SynthOutputModule.load() != nullptr) output = SynthOutputModule.load();
            noteAfterLoad(!checked);
          } else {
            ++f.faults;
          }
          for (const SetValue& v : checked ? set : std::vector<SetValue>{}) {
            const ModuleRecord* m = listed(v.listIndex);
            ++f.setValuesChecked;
            if (m == nullptr || m->Params[v.p].Value.Load() != v.value) {
              ++f.setValuesLost;
              ++f.faults;
              ADD_FAILURE() << "a value set before the save is not in the file: module " << v.listIndex << " ("
                            << (m != nullptr ? m->Type : -1) << ") parameter " << v.p << " holds "
                            << (m != nullptr ? m->Params[v.p].Value.Load() : 0.0f) << ", set " << v.value;
            }
          }
        }
      }

      if (SynthOutputModule.load() != nullptr) output = SynthOutputModule.load();  // a load made a new one
      if (Now() >= nextOverload) {
        nextOverload = Now() + seconds / 4.0;
        // Overloaded: the stream stops, then the interface takes the graph
        // and disconnects the output; Play brings the stream back. A render
        // slower than real time (sanitizers on a busy machine) may overload
        // by itself first, and the forced overload waits for a playing
        // stream: Play again until the audio thread has taken it.
        const int32_t before = g_overloadMessages.load();
        QA::ForceOverload.store(true);
        if (!PumpUntil([&] {
              if (QA::ForceOverload.load()) {
                if (PlaybackActive.load() == 0) PressPlay(output);
                return false;
              }
              return g_overloadMessages.load() > before && PlaybackActive.load() == 0 &&
                     SynthOutputModule.load() == nullptr;
            },
            5.0)) {
          ++f.faults;
          ADD_FAILURE() << "the overload was not handed over";
        }
        QA::ForceOverload.store(false);
        ++f.overloads;
        // The stream is back once it renders again; an overload of the slow
        // render itself right after the start is another stop, not a fault.
        bool back = false;
        for (int32_t attempt = 0; attempt < 3 && !back; ++attempt) {
          const uint64_t frames = FrameCounter.load();
          back = PressPlay(output) &&
                 PumpUntil([&] { return FrameCounter.load() > frames + 960 || PlaybackActive.load() == 0; }, 5.0) &&
                 FrameCounter.load() > frames + 960;
        }
        if (back) {
          ++f.restarts;
        } else {
          ++f.faults;
          ADD_FAILURE() << "Play did not bring the stream back";
        }
      }
    }

    stop = true;
    midi.join();
    audiotest::PostAudio(QA::kAudioPlaybackOff);
    PumpUntil([] { return PlaybackActive.load() == 0; }, 3.0);
    // The end waits for the writer while the disk still holds a sync, and
    // joins it and its sync thread once the disk lets it go.
    std::thread disk([held] {
      if (held) std::this_thread::sleep_for(std::chrono::milliseconds(500));
      synccount::Release();
    });
    audiotest::PostAudio(QA::kAudioQuit);
    EXPECT_TRUE(QA::WaitAudioThread(audio));
    disk.join();
    EXPECT_EQ(platform::SaverStop(audiotest::kHangBound, nullptr), 0);
    platform::SetSaverWake(nullptr);
    EXPECT_TRUE(audiotest::WaitUntil([] {  // a joined thread may be listed a moment longer
      return synccount::ThreadsNamed("tarvelo-rec") + synccount::ThreadsNamed("tarvelo-recsync") +
                 synccount::ThreadsNamed("tarvelo-save") ==
             0;
    }));
    TakeMessages();
    // Every output recording ended whole: its header names what the file holds.
    int32_t whole = 0;
    for (const auto& e : fs::directory_iterator(home / "AUDIO")) {
      const std::string name = e.path().filename().string();
      if (name.rfind("stress_rec_", 0) != 0) continue;
      if (Tarvelo::WholeWavFile(homeText + "\\AUDIO\\" + name) == 0)
        ++whole;
      else
        ADD_FAILURE() << "recording " << name << " is not whole";
    }
    // A load may end one before its Rec off (a start while one runs is ignored).
    EXPECT_GT(whole, 0);
    recordings = whole;
    f.frames = static_cast<int64_t>(FrameCounter.load());
    f.stops = g_stops;
    platform::MidiInFlush(audiotest::kHangBound);
    QA::CloseMidiInput();
    platform::MidiFakeRemoveAll();
    TakeControllerMoves(false);
    platform::ForgetInterfaceThread();

    char line[1000];
    std::snprintf(line, sizeof line,
                  "%.0f s: %lld frames, %lld saves, %lld loads (%lld loaded back and compared), %lld copies, "
                  "%lld links and unlinks, %lld removals, %lld value moves, %lld forced overloads and %lld "
                  "restarts after them, %lld stops in all, %lld Set buttons and links pressed, %lld values set "
                  "right before a save checked in the file (%lld missing), %lld notes from the device after a "
                  "load (%lld held a key, %lld found every voice busy; %lld of %lld heard from the demo as "
                  "shipped; %lld times unplugged with it held, %lld let it go), %d warnings of a command left "
                  "waiting, %d saves without a frame hold, %lld faults\n",
                  Now() - start, static_cast<long long>(f.frames), static_cast<long long>(f.saves),
                  static_cast<long long>(f.loads), static_cast<long long>(f.checks),
                  static_cast<long long>(f.copies), static_cast<long long>(f.links),
                  static_cast<long long>(f.removals), static_cast<long long>(f.values),
                  static_cast<long long>(f.overloads), static_cast<long long>(f.restarts),
                  static_cast<long long>(f.stops), static_cast<long long>(f.presses),
                  static_cast<long long>(f.setValuesChecked), static_cast<long long>(f.setValuesLost),
                  static_cast<long long>(f.notes), static_cast<long long>(f.notesHeld),
                  static_cast<long long>(f.notesBusy),
                  static_cast<long long>(f.shippedHeard), static_cast<long long>(f.shippedNotes),
                  static_cast<long long>(f.unplugs), static_cast<long long>(f.unplugsLetGo), g_commandWarnings.load(), g_unheldSaves.load(), static_cast<long long>(f.faults));
    std::fputs(line, stderr);
    if (const char* figures = std::getenv("TARVELO_STRESS_FIGURES")) {
      std::ofstream outFile(figures, std::ios::app);
      outFile << line;
    }
    {
      char takes[200];
      std::snprintf(takes, sizeof takes,
                    "%lld record buttons pressed (Sequencer and Melody Generator takes), %d output recordings whole "
                    "(%d times the syncs held)\n",
                    static_cast<long long>(recordPresses), recordings, holds);
      std::fputs(takes, stderr);
      if (const char* figures = std::getenv("TARVELO_STRESS_FIGURES")) std::ofstream(figures, std::ios::app) << takes;
      EXPECT_GT(recordPresses, 0);
    }
    EXPECT_EQ(f.faults, 0);
    // The stream ran, and ran again after every restart (each one is taken
    // only once 960 more frames were rendered), however slow the render of a
    // sanitizer or a busy machine.
    EXPECT_GT(f.frames, 960 * f.restarts);
    EXPECT_GT(f.frames, 0);
    EXPECT_GT(f.checks, 0);
    EXPECT_GT(f.overloads, 0);
    EXPECT_EQ(f.restarts, f.overloads);

    EXPECT_GT(f.setValuesChecked, 0);
    EXPECT_EQ(f.setValuesLost, 0);
    // A note from the device held a key after every load, the first included,
    // and the demo as shipped sounded with it.
    EXPECT_EQ(f.notes, f.loads + 1);
    EXPECT_EQ(f.notesHeld + f.notesBusy, f.notes);
    EXPECT_GT(f.notesHeld, f.notesBusy);
    EXPECT_GT(f.shippedNotes, 1);
    EXPECT_EQ(f.shippedHeard, f.shippedNotes);
    EXPECT_GT(f.unplugs, 0);
    EXPECT_EQ(f.unplugsLetGo, f.unplugs);

    ScopeBlockRingFree();
    MessageConsoleFree();
    ActionHistoryFree();
    WaveLibraryListsFree();
    QA::CloseAudio();
    Tarvelo::close();
    QUARLE_VISUALS::VisualsShutdown();
  });
}

}  // namespace
