#include "app/state/history.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/timetext.h"

namespace Tarvelo {

using QUARLE_BASICS::DynZString;
using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::InsertArg;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::SplitAtBar;

ActionHistoryList ActionHistory;

namespace {

constexpr int32_t kInitialCapacity = 16;
std::atomic<int> g_failGrowths{0};

bool GrowthRefused() {
  int n = g_failGrowths.load();
  while (n > 0) {
    if (g_failGrowths.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}

// "Osc 1": the short name, a blank and the instance number.
std::string Label(const ModuleRecord* m) {
  if (!m) return "";
  return DynZStringGet(m->ShortName) + " " + std::to_string(m->InstanceNumber.Load());
}

// The port's parameter, or null for the module itself or a port it cannot have.
const ModuleParam* Port(const ModuleRecord* m, int32_t port) {
  if (!m || port < 0 || port >= kModuleParams) return nullptr;
  return &m->Params[port];
}

// The word before the bar of a "a|b" message when chosen, else the word after it.
std::string Pick(uint32_t number, const char* english, bool first) {
  return SplitAtBar(LangText(number, english), first ? -1 : 0);
}

std::string ActionText(int32_t kind, const ModuleRecord* m, int32_t port, const ModuleRecord* other) {
  const std::string label = Label(m);
  const ModuleParam* p = Port(m, port);
  const std::string phrase =
      p ? InsertArg(LangText(162, "input '{$}' of"), DynZStringGet(p->Label)) + " " : "";
  const std::string subject = phrase + label;
  const std::string otherLabel = Label(other);
  const std::string set = InsertArg(LangText(163, "Set {$} as") + " ", subject);
  switch (kind) {
    case kActionCreate:
      return LangText(164, "Create ") + label;
    case kActionDelete:
      return LangText(165, "Delete ") + label;
    case kActionChannels: {
      const bool mono = p ? p->WriteBothChannels == -1 : (m && m->ChannelsProcessed.Load() == 1);
      return set + Pick(166, "mono|stereo", mono);
    }
    case kActionGlobal:
      return set + Pick(169, "global|local", p && p->Global.Load() == -1);
    case kActionConnect:
      if (other == m) return InsertArg(LangText(171, "Connect {$} to self"), subject);
      return InsertArg(InsertArg(LangText(172, "Connect {$} to {$}"), subject), otherLabel);
    case kActionDisconnect:
      if (other == m) return InsertArg(LangText(173, "Disconnect {$} from self"), subject);
      return InsertArg(InsertArg(LangText(174, "Disconnect {$} from {$}"), subject), otherLabel);
    case kActionConnectSynth:
      return InsertArg(LangText(175, "Connect {$} to synth"), label);
    case kActionDisconnectSynth:
      return InsertArg(LangText(176, "Disconnect {$} from synth"), label);
    case kActionInputDomain:
      // The port's input domain is the side of its source it reads.
      return set + Pick(170, "energy|time", p && p->OutputSide.Load() != 0);
    case kActionVoiceMapSource:
      return set + LangText(167, "voice map source");
    case kActionEnvelope:
      return InsertArg(LangText(163, "Set {$} as") + " ", label) + LangText(168, "envelope");
    case kActionPlayState:
      return InsertArg(LangText(178, "Toggle play state of {$}"), label);
    case kActionPower:
      return InsertArg(LangText(177, "Toggle power of {$}"), label);
    case kActionPolyphony:
      return InsertArg(LangText(179, "Toggle polyphony mode of {$}"), label);
    default:
      return "";
  }
}

void FreeLines(ActionHistoryList& list) {
  for (int32_t i = 0; i < list.count; ++i) {
    DynZString* line = list.lines[i];
    if (!line) continue;
    QUARLE_BASICS::DynZStringFree(*line);
    delete line;
    list.lines[i] = nullptr;
  }
  list.count = 0;
}

}  // namespace

int32_t ActionHistoryCreate() {
  if (ActionHistory.lines) return 0;
  platform::Mutex* lock = platform::MutexCreate();
  if (!lock) return -QUARLE_BASICS::kErrMutexCreate;
  auto** lines = static_cast<DynZString**>(std::calloc(kInitialCapacity, sizeof(DynZString*)));
  if (!lines) {
    platform::MutexDestroy(lock);
    return -QUARLE_BASICS::kErrAllocation;
  }
  ActionHistory.lines = lines;
  ActionHistory.count = 0;
  ActionHistory.capacity = kInitialCapacity;
  ActionHistory.lock = lock;
  return 0;
}

void ActionHistoryFree() {
  if (ActionHistory.lines) {
    FreeLines(ActionHistory);
    std::free(ActionHistory.lines);
  }
  platform::MutexDestroy(ActionHistory.lock);
  ActionHistory = ActionHistoryList{};
}

int32_t RecordAction(int32_t kind, const ModuleRecord* module, int32_t port,
                     const ModuleRecord* other) {
  if (kind == kActionNone) return 0;
  std::string text = ActionText(kind, module, port, other);
  if (text.empty()) return 0;
  text += ".";

  ActionHistoryList& list = ActionHistory;
  {
    platform::MutexGuard guard(list.lock);
    if (list.count >= list.capacity) {
      const int32_t wanted = list.capacity > 0 ? list.capacity * 2 : kInitialCapacity;
      DynZString** bigger = nullptr;
      if (!GrowthRefused() && wanted > list.capacity)
        bigger = static_cast<DynZString**>(std::calloc(static_cast<size_t>(wanted), sizeof(DynZString*)));
      if (!bigger) return -QUARLE_BASICS::kErrAllocation;
      if (list.lines && list.count > 0)
        std::memcpy(bigger, list.lines, static_cast<size_t>(list.count) * sizeof(DynZString*));
      std::free(list.lines);
      list.lines = bigger;
      list.capacity = wanted;
    }
  }
  {
    platform::MutexGuard guard(list.lock);
    // Another appender may have taken the last free slot since the growth.
    if (list.count >= list.capacity) return -QUARLE_BASICS::kErrAllocation;
    auto* line = new (std::nothrow) DynZString;
    if (!line) return -QUARLE_BASICS::kErrAllocation;
    QUARLE_BASICS::DynZStringAssign(*line, std::to_string(list.count) + "- " + text);
    list.lines[list.count] = line;
    ++list.count;
  }
  return 0;
}

void ClearHistory() {
  platform::MutexGuard guard(ActionHistory.lock);
  if (ActionHistory.lines) FreeLines(ActionHistory);
}

std::string GetActionLine(int32_t i) {
  platform::MutexGuard guard(ActionHistory.lock);
  if (!ActionHistory.lines || i < 0 || i >= ActionHistory.count || !ActionHistory.lines[i]) return "";
  return DynZStringGet(*ActionHistory.lines[i]);
}

void HistoryFailNextGrowths(int n) { g_failGrowths.store(n < 0 ? 0 : n); }

}  // namespace Tarvelo
