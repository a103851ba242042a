// The module record: one layout for a live module of the synth, a catalog
// template and the small port value module behind each parameter.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "basics/dynzstring.h"
#include "engine/params.h"

namespace Tarvelo {

constexpr int32_t kModuleParams = 33;      // parameter entries per module
constexpr int32_t kPortValueSlots = 32;    // entries that get a port value module
constexpr int32_t kModuleSwitchWords = 16;
constexpr int32_t kChannelRows = 3;
constexpr int32_t kVoiceColumns = 33;      // 0..31 carry voices
constexpr int32_t kVoices = 32;
constexpr int32_t kMaxOutputTargets = 256;
constexpr int32_t kOutputTargetSlots = 257;
constexpr int32_t kWorkBufferSlots = 33;

// Who a record is.
enum ModuleRole : int32_t {
  kRoleLive = 0,
  kRoleTemplate = 1,
  kRoleLivePortValue = 2,
  kRoleTemplatePortValue = 3,
};

// ModuleSwitches words, named after the module page's toggles.
enum ModuleSwitch : int32_t {
  kSwitchPower = 0,      // MFP: clear leaves the module out of the order
  kSwitchPlay = 2,       // PLAY
  kSwitchRecord = 3,     // REC
  kSwitch2 = 4,          // SW2
  kSwitchLoop = 5,       // LOOP
  kSwitchRewind = 6,     // ARWD; the state switch read when StateSelect is set
  kSwitchPerVoice = 8,   // POLY
  kSwitchEnvelope = 9,   // ENV, also EnvelopeFlag
  kSwitchDual = 10,      // DUAL: MIDI moves p and p XOR 1 as mirror images
  kSwitchHold = 11,      // HOLD
  kSwitchZeroOut = 12,   // 0OUT; set for control modules
  kSwitch1 = 13,         // SW1
  kSwitchKillReleased = 14,  // KillReleasedFlag
  kSwitchFeedbackVoice = 15, // with a feedback input: compute one voice when silent
};

// Module categories.
enum ModuleCategory : int32_t {
  kCategoryAudioInput = 1,
  kCategoryLogic = 2,
  kCategoryStereo = 3,
  kCategoryControl = 4,
  kCategorySource = 5,
  kCategoryEffect = 6,
  kCategoryFilter = 7,
};

// Module types that the engine core tells apart.
enum ModuleTypeId : int32_t {
  kTypeCapture = 0,
  kTypeSample = 1,
  kTypeOscillator = 2,
  kTypeKeyboard = 3,
  kTypeOctaveBoard = 4,
  kTypeSequencer = 5,
  kTypeAdsr = 9,
  kTypeMixer = 18,
  kTypeStepSequencer = 29,
  kTypeMelodyGenerator = 30,
  kTypeMapper = 40,
  kModuleTypeCount = 43,
};

struct ModuleRecord;
struct KeyboardState;
struct WaveLibraryEntry;  // a sample, filter or melody library entry

// Called once per frame: (module, frame counter, parity, previous parity).
using ProcessFunction = void (*)(ModuleRecord* module, uint64_t frameCounter,
                                 int32_t parity, int32_t previousParity);

// Does nothing: both slots of every template hold it until its kernels exist.
void ProcessNone(ModuleRecord* module, uint64_t frameCounter, int32_t parity,
                 int32_t previousParity);

// one thread: graph owner, as the record that holds it: the kernels write
// their outputs every frame; a value module's element 0 is set and read whole
// (StoreValueOutput, LoadValueOutput), as the page reads it while playing.
struct OutputElement {
  float Level;
  float Frequency;  // hertz x 4 / rate
};

// Voice record of the types that run their own voices. The Sequencer uses
// State (0 free, 1 on, 2 released) and Index (the recorded note); the ADSR
// envelope: State = NoteHeld, Index = Stage, Position = OutputPosition,
// Frequency, A = ReleaseStart, B = Peak, C = SustainInput; the tail types:
// State = TailStage, A = WindowFrames / latched values, B = EchoFeedback.
struct SequencerVoice {
  // one thread: graph owner, the kernels' voice state; resets run at a frame
  // boundary or at rest
  int32_t State;
  int32_t Index;
  int32_t Position;
  float Frequency;
  float A[3];
  float B[3];
  float C[3];
};

// What a per-voice Keyboard or Octave board last published and what it was
// computed from (engine/dsp/keyboards.cpp): a frame in which none of it
// changed leaves the outputs as they are. State null: nothing kept.
struct KeyboardPublished {
  // one thread: graph owner, the Keyboard's and Octave board's kernels only
  const void* State;               // the keyboard state read
  int32_t Voices;                  // ActiveVoices published
  uint32_t Released;               // bit i: position i holds a released voice
  uint32_t Norm;                   // bits of FrequencyNorm
  uint32_t Base;                   // bits of an Octave board's base frequency
  OutputElement Outputs[kVoices];  // Outputs[0][0 .. Voices - 1]
  int32_t VoiceIds[kVoices];       // VoiceIds[0 .. Voices - 1]
  uint64_t Frame;                  // the frame counter of the module's last frame
};

// The per-voice ADSR's rows by voice position (engine/dsp/adsr.cpp): which
// voices they are armed for, and the proof that lets the usual frame skip
// reading its inputs. Cleared wherever the voice records are.
struct AdsrRows {
  // one thread: graph owner, the ADSR's kernel, and resets with its voices
  int32_t Key = 0;             // the record's own key while armed; 0 disarmed
  int32_t Voices = 0;          // voices armed for, plus 256 when the ids are the positions
  uint32_t Ids = 0;            // the voice ids armed, as bits
  uint32_t Stamp = 0;          // the proven keyboard's publish stamp; 0 no proof
  float SustainInput = 0.0f;   // the sustain input proven (bit for bit)
  bool VelocitySet = false;    // the velocity proven is one value for every voice:
  uint64_t VelocityPair = 0;   // its element, both sides
};

// Flags are 64-bit words holding 0 or -1. Names in comments are the other
// names the same field goes by.
struct ModuleRecord {
  // one thread: maker, set from the catalog's kernel table when the record is made
  ProcessFunction ProcessFunctions[2];  // 0 single voice, 1 every voice
  // The page's switches: the interface flips them (and the render itself
  // clears Play, Record, Power at a pass's end or a take's); the render reads
  // them every frame, the frame watch (video) and the MIDI thread read them.
  Shared<int64_t> ModuleSwitches[kModuleSwitchWords];
  int64_t Reserved0;                    // one thread: maker, cleared at construction; not copied
  // Each port's source: a link writes it (the interface with playback off,
  // the audio thread's commands while it plays); the render, the frame watch
  // (video, under the list's lock) and the page read it.
  Shared<ModuleRecord*> PortSources[kModuleParams];
  ModuleParam Params[kModuleParams];
  ModuleRecord* PortValueModules[kModuleParams];  // owned; one thread: maker, made with the record
  int32_t Type;                         // one thread: maker
  // A Keyboard's device slot + 1, an Oscillator's wave shape, a Melody
  // Generator's scale pattern: the interface writes it (the device list under
  // MT_MIDIMAPS, the Shapes and scale lists while playing); the kernels read
  // it once per frame or step, the MIDI thread under MT_MIDIMAPS.
  Shared<int32_t> MidiDeviceBinding;
  int32_t Role;                         // ModuleRole; one thread: maker
  // Channel + 1; 0 any. The interface writes it under MT_MIDIMAPS (and a load
  // as it makes the module); the MIDI thread reads it there, the page anywhere.
  Shared<int32_t> MidiChannelFilter;
  int64_t OptionWords[2];               // stored in the module file record; one thread: interface, a load and a save
  // 0 or 1: the channel the interface edits. The L/R selector writes it; a
  // move reads it once where it is made and carries it (a controller's move on
  // the MIDI thread, a value set on the interface), the render's own moves
  // (a take's end) read it once per value.
  Shared<int32_t> EditChannel;
  Shared<int32_t> SelectedParam;        // -1 none; the interface writes it, the value field's watch reads it
  int32_t PageWord;                     // module pages only; one thread: interface
  Shared<int32_t> VoiceMapSourcePort;   // LeadPort; a rebuild writes it (audio while playing), the watch reads it
  // 0 single voice, 1 per voice: the page and a rebuild set it, the render
  // picks the process function by it each frame.
  Shared<int32_t> PolyphonyMode;
  int32_t Reserved1;                    // one thread: maker
  // one thread: graph owner, a rebuild of the order sets them (the audio
  // thread's while playing)
  ModuleRecord* TriggerLink;            // envelope link
  ModuleRecord* VoiceFlagLink;          // second link
  ModuleRecord* ThirdLink;              // cleared with the other two

  // State block: 57 words.
  int64_t ChannelsFixed;                // FixedChannels; one thread: maker
  // one thread: graph owner, the render's kernels and commands while playing,
  // resets at rest
  int64_t SequencerWord;
  int64_t MixerWord;
  int64_t MidiMapped;                   // the MIDI-map rebinding word; one thread: interface, a load and a delete
  Shared<int64_t> ClipFlag;             // the render raises it, the frame watch takes it
  int64_t GateWasOpen;                  // one thread: graph owner, the kernels and resets
  // one thread: graph owner, a rebuild sets it (the audio thread's while
  // playing); the maker copies the type's
  int64_t PerVoiceOutput;               // also the trigger-chain mark
  int64_t VoiceOwner;                   // EnvelopeLinkSource; one thread: maker, the type's word
  // one thread: graph owner, a rebuild sets them (the audio thread's while playing)
  int64_t PolyphonyChanged;
  int64_t ChannelsGrew;
  // one thread: maker, the type's fixed words, set by the catalog and copied
  // into each module made from it
  int64_t StateWord10;
  int64_t DerivedFlag1;                 // DerivedTypeFlag1
  int64_t DerivedFlag2;                 // DerivedTypeFlag2
  int64_t DerivedFlag3;                 // DerivedTypeFlag3
  int64_t StateSelect;                  // DerivedTypeFlag4
  int64_t KeepsState;                   // SavesPhases
  int64_t MirrorPair;                   // DerivedTypeFlag5
  int64_t DerivedFlag6;                 // DerivedTypeFlag6
  int64_t DerivedFlag7;                 // DerivedTypeFlag7
  int64_t DerivedFlag8;                 // DerivedTypeFlag8
  int64_t ClearBuffersOnReset;          // ResetClearsWork
  // A Melody Generator's applied loop flag (ReplayMode): its kernel writes it
  // at each phrase end and reads it settled; the LOOP click, the selection and
  // the system bar's tick read it on the interface.
  Shared<int64_t> StateWord21;
  int64_t MelodyRestart;                // one thread: graph owner, the kernel, rewinds and resets
  Shared<int64_t> RecordDone;           // the page asks a take's end, the render clears it; both read it
  // one thread: graph owner, the kernels and the render's commands
  int64_t VoicePlaying[kVoices];
  int64_t StateWord56;

  // one thread: graph owner, the order's rebuild and the render
  int64_t OrderVisiting;
  int64_t HasFeedbackInput;
  // A port value was set: ModuleSetParamValue stores it (the render's moves,
  // a take's finish, the interface at rest); the Octave board's kernel reads
  // it once per frame.
  Shared<int64_t> Changed;
  int64_t Awake;                        // one thread: graph owner, the render's wake and reset
  Shared<int64_t> OrderExcluded;        // a rebuild writes it (audio while playing), the watch reads it
  // one thread: maker, the type's words
  int64_t RunsWithoutVoices;
  int64_t KeepsVoices;
  int64_t RequiresPortLink;             // NeedsLeadInput
  DynZString Name;
  DynZString ShortName;
  Shared<int32_t> ListIndex;            // -1 when not listed; the interface lists, the render and the MIDI thread ask
  Shared<int32_t> InstanceNumber;       // the interface renumbers (list lock and MT_MIDIMAPS); render, MIDI thread, draws read
  // one thread: maker, the type's words and the box's size
  int32_t RequiredPort;                 // DefaultLeadPort
  int32_t BoxWidthUnits;
  int32_t BoxHeightUnits;
  int32_t Category;                     // ModuleCategory
  int32_t PortCount;
  int32_t ParamCount;
  int32_t ProcessingDepth;              // one thread: graph owner, a rebuild; a save reads it under a frame hold
  float VoiceState[kChannelRows][kVoiceColumns];  // one thread: graph owner, the kernels' state
  Shared<int64_t> BoxControl;           // the module's box on the plane: the interface writes it, the watch reads it
  int32_t ChosenSourcePort;             // ChosenLeadPort; -1 automatic; one thread: interface, the page, a load, a save
  // one thread: maker, the type's words
  int32_t VoiceFlagRoot;                // ChainStart
  int64_t FollowsPolyphony;             // FollowsLeadPolyphony
  int64_t PolyphonyCapability;          // 0 single only, 1 always per voice, 2 choice
  // A rebuild writes both (the audio thread while playing), the page and the
  // interface's channel edits too with playback off; the channel page reads
  // them (under a frame hold while playing). ChannelsProcessed: a Merge
  // Stereo's kernel stores 1 every frame; the frame watch, the sample and
  // port pages and the history read it.
  Shared<int32_t> OutputChannels;
  Shared<int32_t> ChannelsProcessed;
  // The render's kernels write it every frame; a wait for a module's voices
  // (WaitModuleOutput, interface) reads it. Kernels read it once per frame.
  Shared<int32_t> ActiveVoices;
  // one thread: graph owner, the render and its resets; the two pointers are
  // the maker's, their entries the graph owner's
  int32_t SleepingVoices;
  int32_t VoicesToCompute;
  int32_t PreviousActiveVoices;
  int32_t* VoiceIds;                    // owned, 33 entries
  uint32_t* TriggerBuffers[2];          // owned, 32 entries each, by frame parity
  SequencerVoice SequencerVoices[kVoiceColumns];
  // -1: a Sample loaded from an older file without its sound, whose F is
  // still divided by the rates' ratio; a save marks it as older until a
  // sound is set. In the padding before TriggerOwner. one thread: interface
  int32_t SampleOlderFrequency;
  Shared<ModuleRecord*> TriggerOwner;   // a rebuild writes it; the watch and reclaiming read it

  // The attached sound or melody and the Sample's recording.
  // Written by the graph owner (the attach command, a take's start and end, a
  // discarded take); read by the render, the interface and the list draws.
  Shared<WaveLibraryEntry*> SampleEntry;
  float* SampleData;                    // interleaved frames; one thread: graph owner, an attach or a take
  float SampleStep;                     // the pitch field; one thread: graph owner, an attach or a take
  int32_t SampleChannels;               // one thread: graph owner, an attach
  int32_t SampleFrames;                 // one thread: graph owner, an attach or a take
  int32_t FramesRecorded;               // one thread: graph owner, the Sample's take

  // one thread: graph owner, the kernels and resets; the buffers are made
  // with the record or at rest
  float* WorkBuffers[kWorkBufferSlots]; // per voice id, in one block owned by [0]
  int32_t WorkBufferSize;               // elements x channels
  int32_t WorkBufferElements;
  int32_t WorkBufferChannels;
  float AuxVoiceState[kChannelRows][kVoiceColumns];
  OutputElement Outputs[kChannelRows][kVoiceColumns];
  // one thread: graph owner, links (the render's commands while playing)
  ModuleRecord* OutputTargets[kOutputTargetSlots];  // null = free entry
  int32_t OutputTargetPorts[kOutputTargetSlots];
  Shared<int32_t> OutputCount;          // entries in use, at most 256; links write it, the watch reads it
  // Ports the render loop need not look at each frame (bit p for port p):
  // chosen when the processing order is rebuilt, cleared when a port's
  // source changes (ModuleSteadyPorts).
  Shared<uint64_t> SteadyPorts;         // the order's owner chooses them; a link on any thread forgets them
  KeyboardPublished Published;          // Keyboard and Octave board only; one thread: graph owner, their kernels
  // Keyboard and Octave board: the state the render last found in the bank
  // entry of the module's number, played while a removal renumbers them. The
  // render's own word: a state moves with its module, so it stays right.
  // one thread: graph owner
  KeyboardState* PlayedState;
  AdsrRows Adsr;                        // ADSR only; one thread: graph owner, its kernel and resets
  // Sample only (engine/dsp/sample.cpp): what each voice's position holds
  // beyond the single precision of VoiceState, which keeps it rounded (as a
  // synth file stores it); the position is the two added. A rest that does
  // not fit its VoiceState (written there by a reset, a rewind or a load) is
  // not taken.
  float SamplePositionRest[kChannelRows][kVoiceColumns];  // one thread: graph owner, the Sample's kernel
  // The kernels that count a time or a phase in VoiceState (the Step Sequencer's
  // elapsed times, the Melody Generator's countdown, the ADSR's stage times past half
  // a second, the Sine wave's phases; the Oscillator's phases at its time checks, OscillatorAnchor): what it holds
  // beyond single precision, element for element, the time being the two
  // added; VoiceState keeps it rounded, as a synth file stores it. A rest
  // that does not fit its VoiceState (a reset, a rewind or a load wrote
  // there) is not taken.
  float VoiceStateRest[kChannelRows][kVoiceColumns];  // one thread: graph owner, those kernels
  // The Oscillator's phases as its last time check left them (their rest
  // beyond single precision in VoiceStateRest), and its calls since that
  // check. Zeroed with the voices.
  float OscillatorAnchor[kChannelRows][kVoiceColumns];  // one thread: graph owner, the Oscillator's kernel
  uint32_t OscillatorCalls;                             // one thread: graph owner, the Oscillator's kernel
  // The processing order that last placed the module (OrderGeneration's
  // count then; 0 never): it is in the order while this is not below
  // OrderGeneration. Written by each rebuild (the audio thread's while
  // playback runs), read by IsModuleLive on the interface thread. Cleared at
  // construction; not copied.
  Shared<uint64_t> PlacedInOrder;
};

// The layout the module file records, record copies and master presets rely
// on: typing a word as shared changes none of it. The kernels' and the
// order's own words (from Published on) come after everything they copy.
static_assert(sizeof(ModuleRecord) == 31168 && sizeof(ModuleParam) == 648);
static_assert(offsetof(ModuleRecord, ModuleSwitches) == 16 && offsetof(ModuleRecord, PortSources) == 152 &&
              offsetof(ModuleRecord, Params) == 416 && offsetof(ModuleRecord, SelectedParam) == 22100 &&
              offsetof(ModuleRecord, PolyphonyMode) == 22112 && offsetof(ModuleRecord, ClipFlag) == 22176 &&
              offsetof(ModuleRecord, RecordDone) == 22328 && offsetof(ModuleRecord, ChannelsProcessed) == 23148 &&
              offsetof(ModuleRecord, ActiveVoices) == 23152 && offsetof(ModuleRecord, TriggerOwner) == 24912 &&
              offsetof(ModuleRecord, SteadyPorts) == 29504);
static_assert(offsetof(ModuleParam, Value) == 44 && offsetof(ModuleParam, OutputSide) == 552 &&
              offsetof(ModuleParam, MidiMoved) == 600 && offsetof(ModuleParam, FeedbackPort) == 624);

// Construction, destruction, copy.
// 0, or -21 when the voice ids or trigger buffers cannot be allocated (the
// record can still be freed).
int32_t ModuleRecordInit(ModuleRecord& m);
void ModuleFree(ModuleRecord& m);  // frees what the record owns, not the record
// A heap record run through ModuleRecordInit; null when allocation fails.
ModuleRecord* ModuleRecordNew();
// ModuleFree, then the record itself; null is ignored.
void ModuleRecordDelete(ModuleRecord* m);
// Makes a live module from a template (or copies a module). 0, or -21 when a
// port value module or a work buffer cannot be allocated.
int32_t ModuleDuplicate(ModuleRecord& dst, const ModuleRecord& src);

// Buffers and state.
int32_t ModuleAllocBuffers(ModuleRecord& m, int32_t elements, int32_t channels, int64_t perVoice);
void ModuleClearWorkBuffers(ModuleRecord& m);

// Floats from one voice's work buffer to the next: the size rounded up to
// whole 64-byte lines.
constexpr int64_t WorkBufferStride(int64_t size) { return size > 0 ? (size + 15) / 16 * 16 : 16; }
// Steady ports: a port that reads a value module with one voice and no
// per-voice output, whose voice-map row is already 0. Its row stays 0 and it
// never stops the module, so the render loop skips it until its source
// changes. Chosen on the thread that owns the processing order, after every
// link change; every change of a port's source forgets them first.
void ModuleChooseSteadyPorts(ModuleRecord& m);
// Counts changes of port sources and voice-map rows made outside the render
// loop (every forgetting of steady ports, every link): what the render loop
// remembers of its port walks holds only while the count stays.
extern std::atomic<uint32_t> PortChanges;
inline void NotePortChange() { PortChanges.fetch_add(1, std::memory_order_relaxed); }
inline void ModuleForgetSteadyPorts(ModuleRecord& m) {
  m.SteadyPorts.Store(0);
  NotePortChange();
}
inline uint64_t ModuleSteadyPorts(ModuleRecord& m) { return m.SteadyPorts.Load(); }
void ModuleResetVoices(ModuleRecord& m);
void ModuleWake(ModuleRecord& m);
void ModuleReset(ModuleRecord& m);
void ClearDroppedVoices(ModuleRecord& m, int32_t previous);
// Inline: the render callback clears a trigger owner's buffer every frame,
// with eight plain 16-byte stores where a string store would start slowly.
// The render passes the per-voice mode it read once for the module's frame.
inline void ClearTriggerBuffer(ModuleRecord& m, int32_t parity, int32_t mode) {
  uint32_t* t = m.TriggerBuffers[parity & 1];
  if (t == nullptr) return;
  if (mode == 1) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (int32_t i = 0; i < kVoices; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(t + i), zero);
#else
    std::memset(t, 0, kVoices * sizeof(uint32_t));
#endif
  } else {
    t[0] = 0;
  }
}
inline void ClearTriggerBuffer(ModuleRecord& m, int32_t parity) {
  ClearTriggerBuffer(m, parity, m.PolyphonyMode.Load());
}

// Values. ModuleSetParamValue writes the channel the interface edits (read
// once); a move that was told its channel where it was made passes it.
void ModuleSetParamValue(ModuleRecord& m, int32_t p, float x);
void ModuleSetParamValueOnChannel(ModuleRecord& m, int32_t p, float x, int32_t channel);
void CopyPortValueOutputs(ModuleRecord& m, int32_t p, const ModuleRecord& source);
void SeedFeedbackSource(ModuleRecord& m, int32_t port);

// Links. ModuleLinkInput: 4 linked, 5 unlinked, -1 refused (or a null source,
// which still falls back to the port's value module).
enum LinkResult : int32_t { kLinkRefused = -1, kLinkConnected = 4, kLinkDisconnected = 5 };
int32_t ModuleLinkInput(ModuleRecord& m, int32_t port, ModuleRecord* source,
                        ModuleRecord* templ);
// -1 added or already present; 0 when the table is full (reported at warning level).
int32_t ModuleConnectOutput(ModuleRecord& source, ModuleRecord* target, int32_t port);
void ModuleDisconnectOutput(ModuleRecord& source, ModuleRecord* target, int32_t port);
int32_t ClassifyPortBinding(const ModuleRecord& m, int32_t port, const ModuleRecord* source,
                            const ModuleRecord* templ);

// Channels and polyphony.
void ModuleUpdateChannels(ModuleRecord& m, int32_t channels, int64_t apply);
void ModuleUpdatePolyphony(ModuleRecord& m, int64_t apply);
void ModuleSetPolyphonyPort(ModuleRecord& m, int32_t port);  // ModuleSetSelectedVoice

// Set to -1 whenever a link changes: the synth plane redraws its cables.
extern std::atomic<int64_t> CablesDirty;

}  // namespace Tarvelo
