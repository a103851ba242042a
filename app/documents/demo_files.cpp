#include "app/documents/demo_files.h"

#include <string>
#include <vector>

#include "app/fixed_tables.h"
#include "basics/dynzstring.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "platform/paths.h"

namespace Tarvelo {

using namespace QUARLE_BASICS;

namespace {

// The plain files of a folder with the extension; false when the folder cannot
// be listed. The listing moves the current folder, which is put back.
bool ListShipped(const std::string& folder, const std::string& extension, std::vector<std::string>& names) {
  const std::string current = platform::CurrentFolder();
  DirList* list = nullptr;
  const int32_t rc = ListFolder(list, folder, extension, 0, 0);
  if (rc == 0) {
    const int32_t n = DirListCount(list);
    for (int32_t i = 0; i < n; ++i) {
      if ((DirListAttr(list, static_cast<uint32_t>(i)) & 16u) != 0) continue;  // a sub-folder
      const std::string name = DirListName(list, static_cast<uint32_t>(i));
      if (platform::ExtensionIs(name, extension)) names.push_back(name);
    }
  }
  if (list != nullptr) DirListFree(list);
  if (!current.empty()) platform::ChangeFolder(current);
  return rc == 0;
}

}  // namespace

void CopyDemoFiles(uint32_t flags) {
  const std::string program = platform::ProgramFolder();
  const std::string home = DynZStringGet(HomeFolder);
  const std::string demo = std::string("\\SYNTHS\\DEMO ") + ProductVersion;

  std::vector<std::string> synths;
  const bool synthsListed = ListShipped(program + demo, ".tarvelo", synths);
  if ((flags & kCopyDemoSynths) != 0) {
    Report(LangText(193, "Copying bundled synth files."), kLevelInfo);
    if (synthsListed)
      for (const std::string& name : synths) platform::FileCopy(program + demo + "\\" + name, home + demo + "\\" + name);
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
        platform::FileCopy(program + kDemoSoundFolder + "\\" + name, target + "\\" + name);
  }

  std::vector<std::string> tunings;
  const bool tuningsListed = ListShipped(program + "\\TUNINGS", ".tng", tunings);
  if ((flags & kCopyAllTunings) != 0) {
    Report(LangText(194, "Copying bundled tuning files."), kLevelInfo);
    if (tuningsListed)
      for (const std::string& name : tunings)
        platform::FileCopy(program + "\\TUNINGS\\" + name, home + "\\TUNINGS\\" + name);
  } else if (tuningsListed) {
    // A shipped tuning the user deleted comes back.
    for (const std::string& name : tunings) {
      const std::string target = home + "\\TUNINGS\\" + name;
      if (!platform::FileExists(target)) platform::FileCopy(program + "\\TUNINGS\\" + name, target);
    }
  }
}

}  // namespace Tarvelo
