// The live modules of the synth, the modules waiting to be freed, and the
// processing order the render callback walks.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "basics/errors.h"
#include "engine/module.h"
#include "platform/threads.h"

namespace Tarvelo {

// Entry i holds the module whose list index is i; modules of one type stay
// together. Growth, insertion, compaction and removal happen under the lock.
// one thread: holder of ModuleList.lock, for changes (the interface's) and for
// readers off the interface thread (the render reads the count whole)
struct ModuleListRecord {
  ModuleRecord** entries = nullptr;
  int32_t count = 0;
  int32_t capacity = 0;
  platform::Mutex* lock = nullptr;
};
extern ModuleListRecord ModuleList;
constexpr int32_t kModuleListInitialCapacity = 1000;

// Removed modules and retired order arrays wait here until no walk of the
// processing order can still reach them: they are freed only once a rebuild
// that left them out is installed and the audio thread has passed a frame
// boundary since (or is not rendering at all). A module also waits while
// anything in the engine still points at it, and until a video frame that
// was drawing when it was removed is over. The list grows as needed.
// one thread: value
struct RemovedEntry {
  void* item;
  int32_t kind;        // 0 module, 1 processing-order array
  uint64_t videoFrame;  // the video thread's frame serial at the removal
};
// one thread: holder of lock
struct RemovedModuleListRecord {
  RemovedEntry* entries = nullptr;
  int32_t count = 0;
  int32_t capacity = 0;
  int32_t next = 0;
  platform::Mutex* lock = nullptr;  // one thread: maker (the lock itself)
};
// one thread: interface (removals and reclaiming; retired order arrays go
// through their own atomic slots)
extern RemovedModuleListRecord RemovedModuleList;
constexpr int32_t kRemovedListInitialCapacity = 69;

// The modules to process, sorted by depth ascending; entry 0 is the output
// module whenever Count is above 0. The render callback, with RenderBusy held
// at 1 for the whole call, loads the pointer every frame after
// ExecuteEngineCommand and walks Entries[Count - 1] down to Entries[0];
// FrameCounter advances after each frame. While playback runs the render is
// the order's only walker (the interface asks IsModuleLive, which reads the
// modules' marks, and walks the order only while no command is pending), so
// its rebuild, between two frames, writes the block in place, or the spare
// block the interface keeps ready when the synth outgrew it: it takes no
// memory and frees none. A rebuild on the interface thread installs a whole
// new block (a render call may still be walking the old one).
// one thread: graph owner, rebuilt between two frames
struct ProcessingOrderBlock {
  ModuleRecord** Entries;
  int32_t Count;
  int32_t Capacity;
};
extern std::atomic<ProcessingOrderBlock*> ProcessingOrder;
// FrameCounter when the current order was installed (every rebuild sets it).
extern std::atomic<uint64_t> InstallFrame;
// Counts the rebuilds: each marks the modules it places with its count
// (PlacedInOrder) and then stores the count, with a release. Written by the
// rebuilding thread, read by IsModuleLive.
extern std::atomic<uint64_t> OrderGeneration;
// true when m is in the current order, or in the one being installed (the
// rebuild marked it and has not yet stored its count). Any thread that keeps
// m from being freed.
bool ModuleInCurrentOrder(const ModuleRecord* m);
// Interface thread, before posting a command while playing: a spare block for
// the render's rebuild when the current one has no room for the listed
// modules, and the blocks the render let go of freed.
void ProvideOrderRoom();

extern std::atomic<ModuleRecord*> SynthOutputModule;
extern std::atomic<ModuleRecord*> CaptureModule;  // the audio thread's rebuild reads it
extern std::atomic<ModuleRecord*> CurrentKeyboard;  // also CurrentKeyboardModule; the interface's,
                                                   // let go of under MT_MIDIMAPS (the MIDI thread reads it there)
extern ModuleRecord* SelectedModule;  // one thread: interface
// The selection as the video thread reads it (the box frames and the value
// field it draws): a copy the interface thread stores, with a release, at
// each change of SelectedModule through SetSelectedModule.
extern std::atomic<ModuleRecord*> SelectedModuleShown;
void SetSelectedModule(ModuleRecord* m);

// What the module list asks of the interface. Every hook may be null.
// one thread: start-up, installed before the threads start
struct ModuleBoxHooks {
  void (*Hide)(int64_t box);
  void (*MarkForDeletion)(int64_t box);   // delete-pending flag of the box
  void (*RaisePurge)();                   // the control purge flag
  void (*Retitle)(int64_t box, const std::string& title);
  void (*SetListIndex)(int64_t box, int32_t index);
  int32_t (*Visible)(int64_t box);        // -1 shown
  int32_t (*BoxY)(int64_t box);
  void (*DropHalfLink)(ModuleRecord* m);  // a link being drawn on the synth plane
  void (*PublishPerVoice)(int64_t on);    // the per-voice toggle of the module page
  // From the audio thread: asks the interface thread to call
  // PublishSelectedPerVoice (posts to queue 0; false when it could not).
  bool (*AskPerVoice)();
  // The video thread's frame serial: odd while a frame may draw module
  // boxes, advanced again when it is over. Null (headless, no video thread)
  // reads as no frame in progress.
  uint64_t (*VideoFrameSerial)();
};
// one thread: start-up (installed when the interface is built, before the
// video and audio threads start)
extern ModuleBoxHooks BoxHooks;

// Adds a live module copied from template n (fromType) or from listed module n,
// copied between two frames: the caller holds none.
// Result: its list position, -19 (empty list, not a live source, a second
// Capture, a 17th Keyboard or Octave board), -21, or -18 when the render did
// not pause (nothing is made, and the log says why).
int32_t AddModule(int32_t n, bool fromType, ModuleRecord** out);
// What AddModule and NewModuleRecord answer when the render did not pause.
constexpr int32_t kModuleNotHeld = -QUARLE_BASICS::kErrUnknown;
// Allocates a module from its template without listing it (type clamped to
// 0..42 and written back), copied between two frames: the caller holds none.
// 0, -21, or -18 when the render did not pause (nothing is made; the caller
// says why).
int32_t NewModuleRecord(ModuleRecord** out, int32_t& type, int32_t listIndex);
// true while m is listed: a live module's ListIndex is -1 once it is detached.
// Any thread may ask (the render's link command does); templates and port
// value modules count as listed.
bool ModuleListed(const ModuleRecord* m);
void CompactModuleList(int32_t n);
void RemoveModule(ModuleRecord* m);
// Unlinks every target m feeds and takes m out of its sources' output tables.
// Runs where the graph is owned: the render callback's command while playback
// runs (PostUnlinkModule), else the interface under the list lock.
void UnlinkModule(ModuleRecord& m);
// Hides the module's box and hands the module to the removed list; clears *entry.
int32_t DetachModule(ModuleRecord** entry);
void ClearSynth();
int32_t FirstModuleByY();
int32_t LastModuleByY();

// Shows the selected module's per-voice switch on the module page; interface
// thread only (a rebuild on the audio thread asks for it through AskPerVoice).
void PublishSelectedPerVoice();
// Rebuilds the processing order on the calling thread (the interface, while
// playback is off).
void UpdateProcessingOrder(uint64_t argument);
// The same on the audio thread, between frames, from the engine command.
void UpdateProcessingOrderOnRender(uint64_t argument);
// 0, or -1 when m is on the current path (its link closes a cycle).
int32_t ComputeModuleDepth(ModuleRecord* parent, ModuleRecord* m, ModuleRecord** array,
                           int32_t& n, int32_t capacity);
void SortModulesByDepth(ModuleRecord** a, int32_t lo, int32_t hi);
bool ModuleInOrder(const ProcessingOrderBlock* order, const ModuleRecord* m);

// Frees what the removed list holds once it is safe; the interface calls it
// now and then (every edit of the list does too). A module is kept while a
// listed module, a template, the order or a kept module still points at it,
// and while a video frame that was drawing when it went is not over. Returns
// how many are left.
int32_t ReclaimRemovedModules();

// Engine start-up and shutdown of the lists.
int32_t InitModuleLists();
void FreeModuleLists();

}  // namespace Tarvelo
