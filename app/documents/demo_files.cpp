#include "app/documents/demo_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/documents/synth_file.h"
#include "app/fixed_tables.h"
#include "basics/dynzstring.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/saver.h"

namespace Tarvelo {

using namespace QUARLE_BASICS;

namespace {

// The plain files of a folder with the extension; false when the folder cannot
// be listed. The current folder is left as it is: the start lists these on a
// thread of its own while the interface's listings move it.
bool ListShipped(const std::string& folder, const std::string& extension, std::vector<std::string>& names) {
  std::vector<std::string> all;
  if (!platform::FolderNames(folder, all)) return false;
  std::sort(all.begin(), all.end());
  for (const std::string& name : all)
    if (platform::ExtensionIs(name, extension) && platform::PathKindAt(folder + "\\" + name) == platform::PathKind::kFile)
      names.push_back(name);
  return true;
}

std::string DemoFolderName() { return std::string("\\SYNTHS\\DEMO ") + ProductVersion; }

// The note's text (a few bytes; anything longer names no demo folder).
std::string ReadNote(const std::string& path) {
  const int fd = ::open(platform::ToOsPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "";
  char bytes[256];
  const ssize_t n = ::read(fd, bytes, sizeof bytes);
  ::close(fd);
  std::string text(bytes, n > 0 ? size_t(n) : 0);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Written here, before any copy is handed over: an end that comes at any
// point after leaves it (unsynced: a process killed keeps it; a power cut may
// take it with the copies).
void WriteNote(const std::string& path, const std::string& text) {
  const int fd = ::open(platform::ToOsPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return;
  const ssize_t n = ::write(fd, text.data(), text.size());
  (void)n;
  ::close(fd);
}

// The copies go to the saver as the program's own, which writes them behind
// the window at the disk's pace; a load meanwhile waits for the copies of the
// files it reads (LoadWhenFilesArrive). The last outcome says they are in place.
// one thread: value, the hander's (its counts are shared with the outcomes)
class Copies {
 public:
  // Said only after a start that said it was copying.
  explicit Copies(bool said) : said_(said) {}
  // `ifMissing`: a file at the target when its turn comes stays.
  void Copy(const std::string& from, const std::string& to, bool ifMissing) {
    int32_t rc = 0;
    platform::SaveRequest r;
    r.Fill = platform::FileCopyFill(from, rc);
    if (!r.Fill) return;  // a shipped file gone since the listing: passed over
    r.Target = to;
    r.Suffix = ".part~";
    r.IfMissing = ifMissing;
    r.Outcome = platform::NewSaveOutcome();
    outcomes_.push_back(r.Outcome);
    Hand(std::move(r));
  }
  // After the last Copy: the note, when given, emptied once every copy is in place.
  void Handed(const std::string& note) {
    if (!note.empty()) {
      platform::SaveRequest r;
      r.Target = note;
      r.After = outcomes_;
      Hand(std::move(r));
    }
    if (any_)
      Ended(*state_, said_, 0);
    else
      state_->left.fetch_sub(1);
  }

 private:
  // one thread: value, shared by the hander and the outcomes (atomic members)
  struct State {
    // The copies handed and not ended, and the hander's own one.
    std::atomic<int32_t> left{1};
    std::atomic<bool> failed{false};
  };
  void Hand(platform::SaveRequest r) {
    r.Own = true;
    state_->left.fetch_add(1);
    any_ = true;
    r.Done = [state = state_, said = said_](int32_t rc) { Ended(*state, said, rc); };
    platform::SaveInBackground(std::move(r));
  }
  static void Ended(State& state, bool said, int32_t rc) {
    if (rc != 0) state.failed.store(true);
    // The count starts at one for the hander, so the news comes only once
    // every copy was handed over and has ended; none handed, none said.
    const int32_t now = state.left.fetch_sub(1) - 1;
    if (now == 0 && said && !state.failed.load())
      Report(LangText(703, "The bundled files are in place."), kLevelInfo);
  }
  const std::shared_ptr<State> state_ = std::make_shared<State>();
  std::vector<platform::SaveOutcome> outcomes_;  // one thread: value, the hander's
  bool any_ = false;                             // one thread: value, the hander's
  const bool said_;
};

// Whether the start's copies were asked for and not all handed over yet, and
// the loads waiting for that.
// one thread: interface
struct CopiesAwaited {
  bool expected = false;
  std::vector<std::function<void()>> waiting;
};
CopiesAwaited g_copies;

// The shipped file that a copy puts at `path` in the data folder; "" when
// no copy does.
std::string ShippedSourceOf(const std::string& path) {
  const std::string home = DynZStringGet(HomeFolder);
  const size_t cut = path.find_last_of('\\');
  if (home.empty() || cut == std::string::npos) return "";
  const std::string folder = path.substr(0, cut);
  for (const std::string& sub : {std::string("\\TUNINGS"), std::string(kDemoSoundFolder), DemoFolderName()})
    if (folder == home + sub) return platform::ProgramFolder() + sub + path.substr(cut);
  return "";
}

bool OnItsWay(const std::string& path) {
  if (platform::SaverHolds(path)) return true;
  if (!g_copies.expected) return false;
  const std::string source = ShippedSourceOf(path);
  return !source.empty() && platform::FileExists(source);
}

}  // namespace

void CopyDemoFiles(uint32_t flags) {
  const std::string program = platform::ProgramFolder();
  const std::string home = DynZStringGet(HomeFolder);
  const std::string demo = DemoFolderName();
  const std::string notePath = home + "\\" + kDemoCopyNote;

  // A first copy an end or a crash cut short: the start finishes it.
  const bool hasNote = platform::FileExists(notePath);
  const bool unfinished = (flags & kCopyDemoSynths) == 0 && hasNote && ReadNote(notePath) == demo;
  // One emptied by the copy it noted, or left by another version, has done its work.
  if (hasNote && !unfinished && (flags & kCopyDemoSynths) == 0) platform::FileDelete(notePath);

  Copies copies((flags & (kCopyDemoSynths | kCopyAllTunings)) != 0 || unfinished);
  std::string note;
  // The synths go last: the tunings and sounds a load waits for are small,
  // and one disk writes its copies in the order handed over.
  std::vector<std::pair<std::string, bool>> synthCopies;  // name, only when missing
  std::vector<std::string> synths;
  const bool synthsListed = ListShipped(program + demo, ".tarvelo", synths);
  if ((flags & kCopyDemoSynths) != 0) {
    Report(LangText(193, "Copying bundled synth files."), kLevelInfo);
    if (synthsListed && !synths.empty()) {
      note = notePath;
      WriteNote(note, demo);
      for (const std::string& name : synths) synthCopies.emplace_back(name, false);
    }
  } else if (unfinished) {
    note = notePath;
    // What the user changed since stays; a file the cut-short copy left out comes.
    if (synthsListed)
      for (const std::string& name : synths)
        if (!platform::FileExists(home + demo + "\\" + name)) synthCopies.emplace_back(name, true);
  }

  // The demo synths' sounds: copied with them, and put back when deleted so
  // that the copied synths keep sounding.
  std::vector<std::string> sounds;
  if (ListShipped(program + kDemoSoundFolder, ".wav", sounds) && !sounds.empty()) {
    const std::string target = home + kDemoSoundFolder;
    if (!platform::FolderExists(target)) {
      platform::MakeFolder(home + "\\AUDIO");
      platform::MakeFolder(target);
    }
    for (const std::string& name : sounds)
      if ((flags & kCopyDemoSynths) != 0 || !platform::FileExists(target + "\\" + name))
        copies.Copy(program + kDemoSoundFolder + "\\" + name, target + "\\" + name, (flags & kCopyDemoSynths) == 0);
  }

  std::vector<std::string> tunings;
  const bool tuningsListed = ListShipped(program + "\\TUNINGS", ".tng", tunings);
  if ((flags & kCopyAllTunings) != 0) {
    Report(LangText(194, "Copying bundled tuning files."), kLevelInfo);
    if (tuningsListed)
      for (const std::string& name : tunings)
        copies.Copy(program + "\\TUNINGS\\" + name, home + "\\TUNINGS\\" + name, false);
  } else if (tuningsListed) {
    // A shipped tuning the user deleted comes back.
    for (const std::string& name : tunings) {
      const std::string target = home + "\\TUNINGS\\" + name;
      if (!platform::FileExists(target)) copies.Copy(program + "\\TUNINGS\\" + name, target, true);
    }
  }
  for (const auto& [name, ifMissing] : synthCopies)
    copies.Copy(program + demo + "\\" + name, home + demo + "\\" + name, ifMissing);
  copies.Handed(note);
}

void ExpectBundledCopies() { g_copies.expected = true; }

void BundledCopiesHanded() {
  g_copies.expected = false;
  std::vector<std::function<void()>> waiting = std::move(g_copies.waiting);
  g_copies.waiting.clear();
  for (std::function<void()>& then : waiting) then();
}

std::string SynthFileOnItsWay(const std::string& folder, const std::string& name) {
  const std::string own = folder + "\\" + name;
  if (OnItsWay(own)) return own;
  // Read only once its own file is there.
  if (!platform::FileExists(own)) return "";
  for (const std::string& path : SynthNamedFiles(folder, name))
    if (OnItsWay(path)) return path;
  return "";
}

void LoadWhenFilesArrive(const std::string& folder, const std::string& name, std::function<void()> then) {
  const std::string path = SynthFileOnItsWay(folder, name);
  if (path.empty()) {
    then();
    return;
  }
  // Looked at again once it came: the next may still be on its way.
  auto again = [folder, name, then = std::move(then)]() mutable { LoadWhenFilesArrive(folder, name, std::move(then)); };
  if (platform::SaverHolds(path))
    platform::SaverWhenDone(path, std::move(again));
  else
    g_copies.waiting.push_back(std::move(again));
}

}  // namespace Tarvelo
