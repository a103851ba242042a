#include "app/startup.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#if __has_include(<SDL.h>)
#include <SDL.h>
#define TARVELO_STARTUP_SDL 1
#else
#define TARVELO_STARTUP_SDL 0
#endif

#include "app/documents/demo_files.h"
#include "app/documents/take_recovery.h"
#include "app/fixed_tables.h"
#include "app/messages.h"
#include "app/scale_patterns.h"
#include "app/shutdown.h"
#include "app/startup_hooks.h"
#include "app/startup_work.h"
#include "app/wiring.h"
#include "app/state/console.h"
#include "app/state/history.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "audio/midi.h"
#include "audio/thread.h"
#include "basics/console.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "basics/timetext.h"
#include "engine/catalog/engine_init.h"
#include "engine/globals.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"
#include "platform/disk_pace.h"
#include "platform/display.h"
#include "platform/display_link.h"
#include "platform/midi.h"
#include "platform/paths.h"
#include "platform/quit_signals.h"
#include "platform/saver.h"
#include "platform/screen.h"
#include "platform/system.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/focus.h"
#include "visuals/fonts.h"
#include "visuals/glyphs.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace Tarvelo {

using QUARLE_BASICS::DynZStringAssign;
using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::ErrorText;
using QUARLE_BASICS::InsertArg;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;

int32_t StartupStatus = 0;
std::string StartupFailure;
int64_t LoopEntered = 0;
int64_t NewSessionFlag = 0;
int32_t DemoFlags = 0;
int32_t ProgramArgCount = 0;
char** ProgramArgs = nullptr;
uint8_t CpuCount = 0;
std::atomic<int64_t> DesktopWidth{0};
std::atomic<int64_t> DesktopHeight{0};
char WindowTitle[17] = {};
QUARLE_BASICS::DriveList* Drives = nullptr;
QUARLE_BASICS::DirList* BrowserListing = nullptr;
QUARLE_BASICS::DynZString KeyboardsOffText;
QUARLE_BASICS::DynZString NoDeviceText;
QUARLE_BASICS::DynZString AnyFreeDeviceText;
QUARLE_BASICS::DynZString UnassignedText;
QUARLE_BASICS::DynZString AnySelectionText;
QUARLE_BASICS::DynZString InvalidAssignmentText;
std::thread* AudioThreadHandle = nullptr;

namespace {

constexpr uint32_t kUiIndexSlots = 113;
constexpr int32_t kWindowSlots = 12;
constexpr int32_t kScreenFlags = 8;  // no frame
constexpr const char* kTextFontPath = "/FONTS/Sansation/Sansation_Bold.ttf";
constexpr const char* kIconFontPath = "/FONTS/Fontello/Tarvelo-Fontello.ttf";
// Where a session's synth file is looked for when its folder has moved.
constexpr const char* kSynthsSubFolder = "\\SYNTHS";

// The folder the process was started in: relative paths on the command line
// are relative to it, whatever folder the start-up has entered since.
// one thread: start-up
std::string g_startFolder;

// The data folder's disk did not answer the log's open within its bound
// (an earlier process held by a stick that writes nothing holds every
// change of it): the start writes nothing there (no log, no settings, none
// of its disk work), reads what it can, and says so in its window. Once the
// disk answers after all, the log opens and the start's disk work follows.
// one thread: interface
struct SilentDataFolder {
  bool silent = false;
  std::vector<std::function<void()>> jobs;  // the start's disk work kept for then
};
SilentDataFolder g_dataFolder;

// The start's disk work, or kept for when a silent data folder answers.
void DiskJob(std::function<void()> job) {
  if (g_dataFolder.silent)
    g_dataFolder.jobs.push_back(std::move(job));
  else
    StartDiskJob(std::move(job));
}

void DataFolderAnswered() {
  if (!g_dataFolder.silent) return;
  g_dataFolder.silent = false;
  OpenLogFile();
  std::string shown = DynZStringGet(QUARLE_BASICS::HomeFolder);
  std::replace(shown.begin(), shown.end(), '\\', '/');
  Report(InsertArg(LangText(701, "The data folder {$} answers again: the start's work on it follows."), shown),
         QUARLE_BASICS::kLevelInfo);
  for (std::function<void()>& job : g_dataFolder.jobs) StartDiskJob(std::move(job));
  g_dataFolder.jobs.clear();
}

// Why Settings.txt was not read although something holds its name (0: read,
// or missing): said once the log takes messages.
// one thread: start-up
int32_t g_settingsRefused = 0;

std::string Home() { return DynZStringGet(QUARLE_BASICS::HomeFolder); }

void Step(int32_t n) {
  if (Startup.BeforeStep) Startup.BeforeStep(n);
}

// The session as step 38 leaves it: a new synth when none was loaded, else
// its title on the session tab.
void ShowSession() {
  const int32_t* index = QUARLE_VISUALS::UiIndex;
  if (NewSessionFlag == -1) {
    SessionFile.clear();
    if (Startup.OnNewSynth)
      Startup.OnNewSynth(QUARLE_VISUALS::kEventClick, 0, 0, index ? index[kSlotNewSynth] : 0, 0);
  } else if (index && index[kSlotSessionTab] > 0) {
    if (QUARLE_VISUALS::ControlRecord* tab = QUARLE_VISUALS::ControlAt(index[kSlotSessionTab])) {
      QUARLE_VISUALS::TextFieldSetText(&tab->Text, (" " + SessionTitle).c_str());
      QUARLE_VISUALS::ControlPublishText(tab, 0);
    }
  }
}

// The quit message for unattended runs (TARVELO_EXIT_AFTER_MS).
class ExitTimer {
 public:
  void Start() {
    const char* v = std::getenv("TARVELO_EXIT_AFTER_MS");
    if (!v || !*v) return;
    char* end = nullptr;
    const long ms = std::strtol(v, &end, 10);
    if (end == v || ms < 0) return;
    stop_ = false;
    thread_ = std::thread([this, ms] {
      platform::ThreadSetName("tarvelo-exit");
      std::unique_lock<std::mutex> hold(lock_);
      if (wake_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return stop_; })) return;
      QUARLE_BASICS::CommandMessage m{};
      m.type = QUARLE_BASICS::kCommandEndLoop;
      m.timeStamp = platform::HighResClock();
      QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::MainCommandQueue, -1);
    });
  }
  // Before the queues go away: a timer that has not fired yet never will.
  void Stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  // one thread: interface, started and stopped by the program main
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable wake_;
  // one thread: holder of lock_
  bool stop_ = false;
};
ExitTimer g_exitTimer;

// The display went away under the running program: the main thread is asked
// to end the run (see EndAfterDisplayLoss) as the loop ends after a quit.
void EndLoopOnDisplayLoss() {
  QUARLE_BASICS::CommandMessage m{};
  m.type = QUARLE_BASICS::kCommandEndLoop;
  m.timeStamp = platform::HighResClock();
  QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::MainCommandQueue, -1);
}

// A logout, a `kill` or Ctrl-C: the quit nobody is there to confirm, so the
// run ends as after a "yes" to the Quit question (the same saves). Runs on the
// signal thread: it only posts.
void PostQuitOnSignal(int signal) {
  QUARLE_BASICS::CommandMessage m{};
  m.type = QUARLE_BASICS::kCommandEndLoop;
  m.arg1 = static_cast<uint32_t>(signal);
  m.timeStamp = platform::HighResClock();
  QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::MainCommandQueue, -1);
}

// The display's own account of a failed step, for the closing message.
void NoteDisplayFailure() {
  const std::string why = platform::DisplayFailureText();
  if (!why.empty()) StartupFailure = why;
}

// The process runs a little above normal priority where the system lets it;
// an ordinary user may not raise it, which changes nothing else.
void RaiseProcessPriority() { (void)setpriority(PRIO_PROCESS, 0, -5); }

// Keeps the display awake while the program's window is open. SDL also does
// this on its own while its video runs; the call makes it explicit.
void KeepDisplayAwake() {
#if TARVELO_STARTUP_SDL
  if (!platform::ScreenHeadless() && SDL_WasInit(SDL_INIT_VIDEO)) SDL_DisableScreenSaver();
#endif
}

// The screen layer opens its window untitled; the program's one window gets
// the title once it exists.
void ApplyWindowTitle() {
#if TARVELO_STARTUP_SDL
  if (platform::ScreenHeadless() || !SDL_WasInit(SDL_INIT_VIDEO)) return;
  for (Uint32 id = 1; id <= 64; ++id) {
    if (SDL_Window* w = SDL_GetWindowFromID(id)) SDL_SetWindowTitle(w, WindowTitle);
  }
#endif
}

void SetTitleField(const char* text) {
  std::memset(WindowTitle, 0, sizeof WindowTitle);
  std::memcpy(WindowTitle, text, strnlen(text, sizeof WindowTitle - 1));
}

// An argument as a system path; relative ones from the start folder.
std::string ArgumentPath(const char* arg) {
  const std::string os = arg ? arg : "";
  if (os.empty()) return "";
  if (os[0] != '/' && !g_startFolder.empty()) return g_startFolder + "\\" + platform::FromOsPath(os);
  return platform::FromOsPath(os);
}

std::string UpperFirst(const char* name) {
  std::string s = name;
  if (!s.empty()) s = platform::UpperCase(s.substr(0, 1)) + s.substr(1);
  return s;
}

// Steps 1 to 17: always run. The data folder, the log, the settings and the
// message table.
void StartFoundation(int32_t argc, char** argv) {
  // 1. The three tunings as they are before anything runs.
  for (int32_t i = 2; i >= 0; --i) FreeTuning(Tunings[i]);
  for (Tuning& t : Tunings) InitTuning(t);
  ProgramArgCount = argc;
  ProgramArgs = argv;
  g_startFolder = platform::CurrentFolder();

  // 2.
  QUARLE_BASICS::MessageHook = QUARLE_BASICS::ConsolePrint;
  QUARLE_BASICS::BasicsCreateLocks();

  // 3.
  SetLanguageAndLevelTables();
  SetDisplayDriverNames();

  // 4.
  ReadUserName();
  DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::ProfileFolder());

  // 5.
  SeedRandom(static_cast<uint32_t>(
      static_cast<uint64_t>(platform::HighResClock() * 1.0e6) & 0xFFFFFFFFu));
  QUARLE_BASICS::InitCharTables();

  // 6.
  MessageTableFirstStage();

  // 7.
  SetAccentRows();
  QUARLE_VISUALS::GlyphBlitters[0] = QUARLE_VISUALS::GlyphBlit0;
  QUARLE_VISUALS::GlyphBlitters[1] = QUARLE_VISUALS::GlyphBlit1;
  QUARLE_VISUALS::GlyphBlitters[2] = QUARLE_VISUALS::GlyphBlit2;
  QUARLE_VISUALS::GlyphBlitters[3] = QUARLE_VISUALS::GlyphBlit3;
  RaiseProcessPriority();
  KeepDisplayAwake();

  // 8.
  SetProductIdentity();
  StartupStatus = 0;
  LoopEntered = 0;
  NewSessionFlag = 0;
  DemoFlags = 0;
  SetUnitTable();

  // 9. The main queue is the first one made: number 0.
  QUARLE_BASICS::CreateCommandQueue(QUARLE_BASICS::MainCommandQueue);

  // 10.
  if (EnsureFolder("Tarvelo", Home()) != 0) StartupStatus = kStartupFolders;
  DynZStringAssign(QUARLE_BASICS::HomeFolder, Home() + "\\Tarvelo");

  // 11. Probed before step 16 makes the folders, so a first start sets both bits.
  const std::string here = platform::CurrentFolder();
  if (!platform::ChangeFolder(Home() + "\\SYNTHS")) DemoFlags |= 1;
  if (!platform::ChangeFolder(Home() + "\\SYNTHS\\DEMO " + ProductVersion)) DemoFlags |= 1;
  if (!platform::ChangeFolder(Home() + "\\TUNINGS")) DemoFlags |= 2;
  platform::ChangeFolder(here);

  // 12. A new, empty log each start, once the data folder's disk answers.
  g_dataFolder.silent = StartupStatus == kStartupOk &&
                       !FolderAnswers(Home() + "\\" + kLogFileName, Startup.DataFolderBound, DataFolderAnswered);
  g_dataFolder.jobs.clear();
  if (!g_dataFolder.silent) OpenLogFile();

  // 13.
  MonitorCount = platform::MonitorCount();

  // 14. Read also from a silent data folder: its disk holds writes, not reads.
  g_settingsRefused = LoadSettings("");
  if (g_settingsRefused < 0) LoadSettings(platform::ProgramFolder() + "\\" + kDefaultSettingsFileName);
  if (g_settingsRefused == -QUARLE_BASICS::kErrFileNotFound) g_settingsRefused = 0;

  // 15.
  MessageTableSecondStage();
  ApplyLanguagePack(Settings.Language);

  // 16. All eight are attempted.
  for (int32_t i = 0; i < kDataSubFolderCount && !g_dataFolder.silent; ++i)
    if (EnsureFolder(DataSubFolder(i), Home()) != 0) StartupStatus = kStartupFolders;
}

void LogWelcome() {
  std::string line = InsertArg("{$} v{$} {$}-bit", ProductName);
  line = InsertArg(line, ProductVersion);
  line = InsertArg(line, BuildBits);
  if (ReleaseType[0] != '\0') line += std::string(" (") + ReleaseType + ")";
  Report(line, QUARLE_BASICS::kLevelInfo);

  const QUARLE_BASICS::LocalDateTime now = QUARLE_BASICS::SystemLocalClock();
  line = InsertArg(LangText(122, "Started on {$} at {$}"), QUARLE_BASICS::DateText(now));
  line = InsertArg(line, QUARLE_BASICS::TimeText(now));
  Report(line, QUARLE_BASICS::kLevelInfo);

  SetUserName(UpperFirst(UserName));
  line = InsertArg(LangText(123, "Welcome to") + " {$}, {$}!", ProductName);
  line = InsertArg(line, UserName);
  Report(line, QUARLE_BASICS::kLevelInfo);

  line = InsertArg(LangText(124, "I've found {$} CPU cores, {$} drives and {$} MIDI devices."),
                   std::to_string(CpuCount));
  line = InsertArg(line, std::to_string(Drives ? Drives->count.load() : 0));
  line = InsertArg(line, std::to_string(platform::MidiInDeviceCount()));
  Report(line, QUARLE_BASICS::kLevelInfo);
}

// The default tuning's file as the start makes it, written behind the window
// when neither it nor a bundled copy is there (no path: none to write).
struct DefaultTuningFile {  // one thread: value
  std::string path;
  std::string bytes;
};

// Steps 18 to 21: the drives and cores, the message list and log, the
// texts kept for the keyboards and MIDI lists, the welcome.
void TakeStockAndKeepMessages() {
  // 18.
  Step(18);
  QUARLE_BASICS::InitDrivesAndHome(Drives);
  const int32_t cpus = platform::ProcessorCount();
  CpuCount = static_cast<uint8_t>(cpus > 255 ? 255 : cpus);

  // 19. From here every message is kept and logged.
  Step(19);
  MessageConsoleCreate();
  QUARLE_BASICS::MessageHook = LogMessageHook;

  // 20.
  Step(20);
  DynZStringAssign(KeyboardsOffText, LangText(116, "Turn audio output ON to activate keyboards."));
  DynZStringAssign(NoDeviceText, LangText(117, "[NO DEVICE]"));
  DynZStringAssign(AnyFreeDeviceText, LangText(118, "[ANY FREE DEVICE]"));
  DynZStringAssign(UnassignedText, LangText(119, "[UNASSIGNED]"));
  DynZStringAssign(AnySelectionText, LangText(120, "[CONTROL ANY SELECTION]"));
  DynZStringAssign(InvalidAssignmentText, LangText(121, "[INVALID ASSIGMENT]"));

  // 21. Settings that could not be read although something holds their name
  // start from the defaults: the user hears why.
  Step(21);
  LogWelcome();
  if (g_settingsRefused < 0)
    Report(std::string(kSettingsFileName) + LangText(132, " could not be opened: ") + ErrorText(g_settingsRefused),
           QUARLE_BASICS::kLevelError);
}

// Step 22: what the last run left on the disk, put right behind the window;
// the session named on the command line.
std::shared_ptr<LastEndNotes> HandOverLastRunsLeftovers() {
  // 22. The last ".tarvelo" file named on the command line wins. Takes whose
  // save the last run left unfinished are put in place, recordings whose end
  // was cut short name all they hold, and what saves cut short left is
  // cleared away: behind the window, on the start's own thread, as a busy or
  // failing disk holds these for minutes. Only files written before this
  // start are looked at: the takes of this run are its writer's.
  Step(22);
  StartWorkNewsHook = TakeStartWorkNews;
  const int64_t startedAt = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
  // The last end's notes, read once: the takes they name are put right here,
  // and the window asks about them all once it is up (step 41's job, on the
  // same thread after this one, hands them over: queue 0 is not made yet).
  const auto lastEnd = std::make_shared<LastEndNotes>();
  DiskJob([home = Home(), startedAt, lastEnd] {
    *lastEnd = ReadEndNotes(home);
    RecoverCutSaves(home);
    RepairTakeHeaders(home + "\\" + DataSubFolder(0), lastEnd->takes, startedAt);
    ClearWorkLeftoversOf(home);
  });
  for (int32_t i = 0; i < ProgramArgCount; ++i) SetSessionFromPath(ArgumentPath(ProgramArgs[i]));
  return lastEnd;
}

// Steps 23 to 26: the tuning locks, the fetch buffer, the default tuning
// (its file written later, behind the window), the lists.
bool MakeTuningsAndLists(DefaultTuningFile& tuning) {
  // 23.
  Step(23);
  for (platform::Mutex*& m : MT_TUNINGS) m = platform::MutexCreate();
  if (!MT_TUNINGS[0] || !MT_TUNINGS[1] || !MT_TUNINGS[2]) {
    Report("MUTEXCREATE MT_TUNINGS(): " + ErrorText(QUARLE_BASICS::kErrMutexCreate),
           QUARLE_BASICS::kLevelFatal);
    StartupStatus = kStartupTuningLocks;
    return false;
  }

  // 24.
  Step(24);
  QUARLE_VISUALS::GuiFetchBuffer = static_cast<QUARLE_BASICS::CommandMessage*>(
      std::calloc(QUARLE_BASICS::kArrayInitialCapacity, sizeof(QUARLE_BASICS::CommandMessage)));
  if (!QUARLE_VISUALS::GuiFetchHeader.lock) QUARLE_BASICS::ArrayHeaderInit(QUARLE_VISUALS::GuiFetchHeader);
  QUARLE_VISUALS::GuiFetchHeader.count = 0;
  QUARLE_VISUALS::GuiFetchHeader.capacity =
      QUARLE_VISUALS::GuiFetchBuffer ? QUARLE_BASICS::kArrayInitialCapacity : 0;
  QUARLE_AUDIO::InitMidiControllerTypes();

  // 25.
  // The default tuning's file is written behind the window, when neither it
  // nor a bundled copy of it is there.
  Step(25);
  if (PrepareDefaultTuning(Home(), Settings.Language, tuning.path, tuning.bytes) != 0) tuning.path.clear();

  // 26.
  Step(26);
  QUARLE_AUDIO::MidiInCallback = QUARLE_AUDIO::MidiInProc;
  WaveLibraryListsCreate();
  ActionHistoryCreate();
  return true;
}

// Steps 27 and 28: the device choices and the audio library.
bool StartAudioLibrary() {
  // 27.
  Step(27);
  QUARLE_AUDIO::AutoConnect = Settings.AutoConnect;
  QUARLE_AUDIO::UseDefaultDevice = Settings.UseDefaultDevice;
  DynZStringAssign(QUARLE_AUDIO::PlaybackSelectedName, Settings.OutputDevice);
  DynZStringAssign(QUARLE_AUDIO::CaptureSelectedName, Settings.InputDevice);

  // 28.
  Step(28);
  const auto samplesPerMs = static_cast<int32_t>(
      std::nearbyint(static_cast<double>(ConfiguredStreamRate) / 1000.0));
  if (const int32_t r = QUARLE_AUDIO::init(RenderAudio, CaptureAudio, samplesPerMs); r != 0) {
    Report("QUARLE_AUDIO.init(): " + ErrorText(r), QUARLE_BASICS::kLevelFatal);
    return false;
  }
  // The system-message handler takes every playback report (and with it the graph).
  QUARLE_AUDIO::PlaybackHandOver.store(true);
  return true;
}

// Steps 29 and 30: the sample library and the filters.
void LoadLibraries() {
  // 29.
  Step(29);
  Report(LangText(125, "Loading audio library."), QUARLE_BASICS::kLevelInfo);
  if (Startup.LoadWFLibrary) {
    if (const int32_t r = Startup.LoadWFLibrary(); r != 0)
      Report(LangText(126, "Error while loading audio library: ") + ErrorText(r),
             QUARLE_BASICS::kLevelError);
  }

  // 30.
  Step(30);
  Report(LangText(127, "Loading filters."), QUARLE_BASICS::kLevelInfo);
  const std::string filters = Home() + "\\FILTERS";
  QUARLE_BASICS::ListFolder(BrowserListing, filters, ".wav", -1, 0);
  const int32_t filterCount = QUARLE_BASICS::DirListCount(BrowserListing);
  // The listing recurses: each file loads from the folder it was found in, and
  // the sub-folders it lists are no filters.
  for (int32_t i = 0; i < filterCount; ++i) {
    const uint32_t at = static_cast<uint32_t>(i);
    if ((QUARLE_BASICS::DirListAttr(BrowserListing, at) & 16u) != 0) continue;
    if (Startup.LoadFilterFile)
      Startup.LoadFilterFile(QUARLE_BASICS::DirListFolder(BrowserListing, at),
                             QUARLE_BASICS::DirListName(BrowserListing, at));
  }
  QUARLE_BASICS::ListFolder(BrowserListing, Home(), "*.*", 0, 0);
}

// Step 31: the display and the interface's library; then the quit signals,
// the saver and the bundled files.
bool StartVisualsAndSaves(DefaultTuningFile tuning) {
  // 31. Without a display a run that did not ask for headless mode would show
  // nothing and run until killed: it ends as an unreachable display does.
  Step(31);
  if (const std::string missing = platform::ScreenMissingDisplay(); !missing.empty()) {
    Report("QUARLE_VISUALS.init(): " + missing, QUARLE_BASICS::kLevelFatal);
    StartupFailure = missing;
    return false;
  }
  int64_t desktopWidth = 0, desktopHeight = 0;
  platform::DesktopSize(desktopWidth, desktopHeight);
  DesktopWidth.store(desktopWidth);
  DesktopHeight.store(desktopHeight);
  const int64_t savedWidth = Settings.ScreenWidth;
  const int64_t savedHeight = Settings.ScreenHeight;
  if (const int32_t r = QUARLE_VISUALS::init(kWindowSlots, Settings.ScreenWidth, Settings.ScreenHeight,
                                             Settings.Monitors);
      r != 0) {
    Report("QUARLE_VISUALS.init(): " + ErrorText(r), QUARLE_BASICS::kLevelFatal);
    NoteDisplayFailure();
    return false;
  }
  if (QUARLE_VISUALS::ScreenSizePassedOver != 0) {
    // The size the settings ask for is no mode of this display (saved on
    // another one): the window opens in the smallest, and the user is told
    // which setting was passed over, where, and on which display.
    std::string settings = Home() + "/" + kSettingsFileName;
    std::replace(settings.begin(), settings.end(), '\\', '/');
    Report(platform::DisplayName() + ": no display mode fits \"SCREEN WIDTH\"," + std::to_string(savedWidth) +
               " and \"SCREEN HEIGHT\"," + std::to_string(savedHeight) + " of " + settings +
               "; the window takes the smallest mode, " + std::to_string(Settings.ScreenWidth) + " x " +
               std::to_string(Settings.ScreenHeight) + ", instead",
           QUARLE_BASICS::kLevelWarning);
  }
  // Every queue exists now (another thread may post only once none is made
  // any more): a quit signal from here on reaches the loop, also one that
  // came before, which waited, blocked, for this.
  platform::WatchQuitSignals(PostQuitOnSignal);
  // Saves from here on go to the disk on their own thread, and their outcomes
  // come back through queue 0; a thread that could not be made leaves them
  // to their callers' thread, as before.
  platform::SaverStart();
  // The bundled files go to the saver from the start's thread: the window
  // comes meanwhile, and a load of one, or of a synth naming one, waits for its copy.
  ExpectBundledCopies();
  DiskJob([flags = static_cast<uint32_t>(DemoFlags), copy = Startup.CopyDemoFiles,
                tuning = std::move(tuning.path), bytes = std::move(tuning.bytes)]() mutable {
    if (copy) copy(flags);
    StartWorkNews(BundledCopiesHanded);
    if (!tuning.empty() && !platform::FileExists(tuning) && !platform::SaverHolds(tuning)) {
      platform::SaveRequest r;
      r.Target = std::move(tuning);
      r.Bytes = std::move(bytes);
      // The program's own, as the bundled files: a later start writes it when missing.
      r.Own = r.IfMissing = true;
      r.Done = [](int32_t rc) {
        if (rc != 0) Report("SaveTuning(): " + ErrorText(TuningSaveResult(rc)), QUARLE_BASICS::kLevelError);
      };
      platform::SaveInBackground(std::move(r));
    }
  });
  return true;
}

// Steps 32 and 33: the fonts, the display settings, the engine.
bool StartFontsAndEngine() {
  // 32. The fonts report their own failure.
  Step(32);
  if (QUARLE_VISUALS::LoadFonts(kTextFontPath, kIconFontPath) != 0) return false;
  if (const int32_t r = ApplyDisplaySettings(); r != 0) {
    Report("FreeType: " + ErrorText(r), QUARLE_BASICS::kLevelFatal);
    return false;
  }

  // 33.
  Step(33);
  if (const int32_t r = Tarvelo::init(static_cast<float>(ConfiguredStreamRate)); r != 0) {
    Report("Tarvelo.init(): " + ErrorText(r), QUARLE_BASICS::kLevelFatal);
    return false;
  }
  return true;
}

// Steps 34 to 36: the index, the window, the interface.
bool OpenWindowAndBuild() {
  // 34.
  Step(34);
  std::free(QUARLE_VISUALS::UiIndex);
  QUARLE_VISUALS::UiIndex = static_cast<int32_t*>(std::calloc(kUiIndexSlots, sizeof(int32_t)));
  std::free(QUARLE_VISUALS::DialogEditIndex);
  QUARLE_VISUALS::DialogEditIndex = static_cast<int32_t*>(std::calloc(1, sizeof(int32_t)));
  SetTitleField(ProductName);

  // 35. The size the interface's start settled on.
  Step(35);
  platform::SetDisplayLostHooks(EndAfterDisplayLoss, EndLoopOnDisplayLoss);
  if (!QUARLE_BASICS::OpenScreen(kScreenFlags, QUARLE_VISUALS::ScreenWidth,
                                 QUARLE_VISUALS::ScreenHeight)) {
    Report(LangText(128, "I could not set the screen."), QUARLE_BASICS::kLevelFatal);
    NoteDisplayFailure();
    StartupStatus = kStartupScreen;
    return false;
  }
  ApplyWindowTitle();
  KeepDisplayAwake();

  // 36.
  Step(36);
  platform::ScreenMoveWindow(0, 0);
  QUARLE_VISUALS::VideoRunFlag = -1;
  if (Startup.CreateMarkerImages) Startup.CreateMarkerImages();
  if (Startup.BuildInterface) {
    int32_t r = Startup.BuildInterface(1.0f);
    // A stored zoom the interface cannot be built at would stop every start:
    // this run takes zoom 1 instead; the settings keep what the user chose.
    if (r != 0 && ZoomFactor != 1.0f && ApplyZoomSizes(1.0f) == 0) {
      char zoom[32];
      std::snprintf(zoom, sizeof zoom, "%g", static_cast<double>(Settings.Zoom));
      Report(ErrorText(r), QUARLE_BASICS::kLevelError);
      Report(std::string("The interface could not be built at zoom ") + zoom +
                 "x; it is shown at zoom 1x for this run.",
             QUARLE_BASICS::kLevelWarning);
      if (Startup.CreateMarkerImages) Startup.CreateMarkerImages();
      r = Startup.BuildInterface(1.0f);
    }
    if (r != 0) {
      Report(ErrorText(r), QUARLE_BASICS::kLevelError);
      Report(LangText(129, "The interface could not be completed."), QUARLE_BASICS::kLevelFatal);
      StartupStatus = kStartupInterface;
      return false;
    }
  }
  return true;
}

// Steps 37 and 38: the focus lists, the keyboards and the plane, the session's synth.
void PlaceTheSession() {
  // 37. Timer resolution: the system's sleeps and clocks are fine-grained
  // already, so there is nothing to raise.
  Step(37);
  QUARLE_VISUALS::BuildAllFocusLists();
  QUARLE_VISUALS::FocusedControl = QUARLE_VISUALS::FocusWindow(0);
  QUARLE_VISUALS::InterfaceReady = -1;
  if (QUARLE_VISUALS::ControlRecord* root = QUARLE_VISUALS::ControlAt(0))
    QUARLE_VISUALS::SetDisabled(&root->State, -1);

  // The keyboards are laid out and the plane put at its start position before
  // the session's synth is placed on it: moving the plane after the load would
  // shift the loaded blocks away from where they were saved (and off the
  // plane), unlike a load from the browser.
  const int32_t* index = QUARLE_VISUALS::UiIndex;
  if (Startup.LayoutKeyboardPanel) Startup.LayoutKeyboardPanel(-1);
  if (Startup.OnResetPlanePosition) Startup.OnResetPlanePosition(QUARLE_VISUALS::kEventClick, 0, 0, 0, 0);
  QUARLE_VISUALS::UpdateControl(index ? index[kSlotResetPlane] : 0, 0);

  // 38. The session: from the settings or the command line.
  Step(38);
  if (SessionFile.empty()) {
    NewSessionFlag = -1;
    ShowSession();
  } else {
    SessionFolder = LocateFile(SessionFolder, SessionFile, kSynthsSubFolder);
    if (SessionFolder.empty()) {
      Report(SessionFile + LangText(130, " could not be found."), QUARLE_BASICS::kLevelWarning);
      NewSessionFlag = -1;
      ShowSession();
    } else {
      Report(LangText(131, "Loading synthesizer file."), QUARLE_BASICS::kLevelInfo);
      // A file it reads that a bundled copy (or a save) still brings: the
      // load follows once it is in place, in the window's loop.
      if (const std::string coming = SynthFileOnItsWay(SessionFolder, SessionFile); !coming.empty())
        Report(InsertArg(LangText(722, "Waiting for {$} to be copied before loading the synth..."),
                         coming.substr(coming.find_last_of('\\') + 1)),
               QUARLE_BASICS::kLevelInfo);
      LoadWhenFilesArrive(SessionFolder, SessionFile, [] {
        const int32_t r = Startup.LoadSynth ? Startup.LoadSynth(SessionFolder, SessionFile) : 0;
        if (r != 0) {
          Report(SessionFile + LangText(132, " could not be opened: ") + ErrorText(r), QUARLE_BASICS::kLevelError);
          NewSessionFlag = -1;
        }
        ShowSession();
      });
    }
  }
}

// Steps 39 to 41: the settings saved, the video and audio threads, the last
// end's notes asked about, the event loop.
void RunTheLoop(const std::shared_ptr<LastEndNotes>& lastEnd) {
  // 39. Not into a silent data folder: the saver would wait there for as long
  // as the disk holds it, for nothing the file does not hold already.
  Step(39);
  if (const int32_t r = g_dataFolder.silent ? 0 : SaveSettings(); r != 0)
    Report(LangText(134, "Error saving settings file: ") + ErrorText(r), QUARLE_BASICS::kLevelError);

  // 40.
  Step(40);
  QUARLE_VISUALS::StartVideoThread(-1);
  if (QUARLE_VISUALS::VideoThreadHandle) {
    const uint8_t driver = QUARLE_BASICS::DisplayDriverIndex < 3 ? QUARLE_BASICS::DisplayDriverIndex : 0;
    Report(LangText(135, "Display driver is ") + DisplayDriverNames[driver], QUARLE_BASICS::kLevelInfo);
  }
  if (const int32_t r = QUARLE_AUDIO::StartAudioThread(
          AudioThreadHandle, static_cast<int32_t>(ConfiguredStreamRate),
          static_cast<int32_t>(Settings.OutputBufferLength));
      r != 0)
    Report(LangText(137, "Audio thread startup error: ") + ErrorText(r), QUARLE_BASICS::kLevelError);

  // 41.
  Step(41);
  if (QUARLE_VISUALS::ControlRecord* root = QUARLE_VISUALS::ControlAt(0)) {
    QUARLE_VISUALS::SetDisabled(&root->State, 0);
    // Published at once: the first frames would otherwise show the interface
    // dimmed as disabled until the root's first tick.
    QUARLE_VISUALS::UpdateControl(0, 0);
  }
  // What the last run's end could not finish is asked about in the window;
  // the notes go only once the user has acknowledged it, so a start that
  // fails before keeps them for the next.
  // A data folder that does not answer is said on the status line too, which
  // keeps saying it while it lasts (the system bar's tick).
  if (g_dataFolder.silent) {
    Report(DataFolderSilentText(), QUARLE_BASICS::kLevelError);
    SetStatusText(DataFolderSilentText());
  }
  DiskJob([home = Home(), lastEnd] { PostLastEndNotes(home, *lastEnd); });
  AskAboutLastEndOnceUp();
  LoopEntered = -1;
  QUARLE_VISUALS::SystemMessageHandler = HandleSystemMessage;
  g_exitTimer.Start();
  QUARLE_VISUALS::GuiMessageLoop();
  // Without a display the rest of the shutdown would wait for a video thread
  // that may never come back from it.
  if (platform::TakeOverDisplayLoss()) EndAfterDisplayLoss();
}

// Steps 18 to 41. false: start-up gives up (step 42 follows).
bool StartSubsystems() {
  TakeStockAndKeepMessages();
  const std::shared_ptr<LastEndNotes> lastEnd = HandOverLastRunsLeftovers();
  DefaultTuningFile tuning;
  if (!MakeTuningsAndLists(tuning) || !StartAudioLibrary()) return false;
  LoadLibraries();
  if (!StartVisualsAndSaves(std::move(tuning)) || !StartFontsAndEngine() || !OpenWindowAndBuild()) return false;
  PlaceTheSession();
  RunTheLoop(lastEnd);
  return true;
}


}  // namespace

std::string DataFolderSilentText() {
  if (!g_dataFolder.silent) return "";
  std::string shown = Home();
  std::replace(shown.begin(), shown.end(), '\\', '/');
  return InsertArg(LangText(704, "The data folder {$} does not answer (its disk may be held or gone): nothing can be "
                                 "saved there until it does."),
                   shown);
}

int32_t RunStartup(int32_t argc, char** argv) {
  StartupFailure.clear();
  BeginStartWork();
  StartFoundation(argc, argv);
  // 17. A missing data folder leaves everything below out.
  if (StartupStatus == kStartupOk) StartSubsystems();
  // The start's disk work ends before the end's saves: what it handed the
  // saver is among them. A disk that holds a job for long leaves it be.
  FinishStartDiskWork(Startup.StartWorkBound);
  // 42. The video thread draws on until the shutdown has waited for the
  // recordings' writer: the window shows that wait.
  Step(42);
  // What the step's callers handed (tests answering the question).
  FinishStartDiskWork(Startup.StartWorkBound);
  g_exitTimer.Stop();
  // The queues go in the shutdown; a signal now only hurries it.
  platform::StopQuitRequests();
  if (const int signal = platform::FirstQuitSignal(); signal != 0)
    Report("Ending on " + platform::QuitSignalName(signal) + ".", QUARLE_BASICS::kLevelInfo);
  if (LoopEntered == 0 && StartupStatus == kStartupOk) StartupStatus = kStartupNoLoop;
  return StartupStatus;
}

int32_t ProgramExitCode() {
  return StartupStatus != kStartupOk ? 1 : 0;
}

void Main(int32_t argc, char** argv) {
  // Before any other thread starts, so all of them inherit the block and the
  // quit signals wait for their own thread.
  platform::BlockQuitSignals();
  // This thread runs the interface: it alone changes interface state, other
  // threads post to queue 0.
  platform::ThreadSetName("tarvelo-ui");
  platform::MarkInterfaceThread();
  // The program's own parts in place of the stand-ins the hooks start with.
  InstallProgramWiring();
  RunStartup(argc, argv);
  const bool writerEnded = RunShutdown();
  // A second quit signal asked for no more waiting than the takes need.
  if (platform::SecondQuitSignal() == 0) ShutdownCountdown();
  EndProcess(writerEnded, ProgramExitCode());
}

}  // namespace Tarvelo
