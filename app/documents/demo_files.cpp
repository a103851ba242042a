#include "app/documents/demo_files.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// The copies go to the saver, which writes them behind the window at the
// disk's pace; a load of a demo meanwhile waits for its copy
// (platform::SaverWhenDone). The last copy's outcome says they are in place.
// one thread: value, the hander's (its count is shared with the outcomes)
class Copies {
 public:
  // Said only after a start that said it was copying.
  explicit Copies(bool said) : said_(said) {}
  void Copy(const std::string& from, const std::string& to) {
    int32_t rc = 0;
    platform::SaveRequest r;
    r.Fill = platform::FileCopyFill(from, rc);
    if (!r.Fill) return;  // a shipped file gone since the listing: passed over
    r.Target = to;
    r.Suffix = ".part~";
    left_->fetch_add(1);
    any_ = true;
    r.Done = [left = left_, said = said_](int32_t) { Ended(*left, said); };
    platform::SaveInBackground(std::move(r));
  }
  // After the last Copy.
  void Handed() {
    if (any_)
      Ended(*left_, said_);
    else
      left_->fetch_sub(1);
  }

 private:
  static void Ended(std::atomic<int32_t>& left, bool said) {
    // The count starts at one for the hander, so the news comes only once
    // every copy was handed over and has ended; none handed, none said.
    const int32_t now = left.fetch_sub(1) - 1;
    if (now == 0 && said) Report(LangText(703, "The bundled files are in place."), kLevelInfo);
  }
  // The copies handed and not ended, and the hander's own one.
  const std::shared_ptr<std::atomic<int32_t>> left_ = std::make_shared<std::atomic<int32_t>>(1);
  bool any_ = false;  // one thread: value, the hander's
  const bool said_;
};

}  // namespace

void CopyDemoFiles(uint32_t flags) {
  const std::string program = platform::ProgramFolder();
  const std::string home = DynZStringGet(HomeFolder);
  const std::string demo = std::string("\\SYNTHS\\DEMO ") + ProductVersion;

  Copies copies((flags & (kCopyDemoSynths | kCopyAllTunings)) != 0);
  std::vector<std::string> synths;
  const bool synthsListed = ListShipped(program + demo, ".tarvelo", synths);
  if ((flags & kCopyDemoSynths) != 0) {
    Report(LangText(193, "Copying bundled synth files."), kLevelInfo);
    if (synthsListed)
      for (const std::string& name : synths) copies.Copy(program + demo + "\\" + name, home + demo + "\\" + name);
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
        copies.Copy(program + kDemoSoundFolder + "\\" + name, target + "\\" + name);
  }

  std::vector<std::string> tunings;
  const bool tuningsListed = ListShipped(program + "\\TUNINGS", ".tng", tunings);
  if ((flags & kCopyAllTunings) != 0) {
    Report(LangText(194, "Copying bundled tuning files."), kLevelInfo);
    if (tuningsListed)
      for (const std::string& name : tunings)
        copies.Copy(program + "\\TUNINGS\\" + name, home + "\\TUNINGS\\" + name);
  } else if (tuningsListed) {
    // A shipped tuning the user deleted comes back.
    for (const std::string& name : tunings) {
      const std::string target = home + "\\TUNINGS\\" + name;
      if (!platform::FileExists(target)) copies.Copy(program + "\\TUNINGS\\" + name, target);
    }
  }
  copies.Handed();
}

}  // namespace Tarvelo
