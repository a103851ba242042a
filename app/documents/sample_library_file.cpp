#include "app/documents/sample_library_file.h"

#include "app/documents/doc_io.h"
#include "app/documents/wave_convert.h"
#include "app/state/settings.h"
#include "app/state/wave_library.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace Tarvelo {

using namespace QUARLE_BASICS;

int64_t WFLibraryLoaded = 0;

namespace {

std::string Trimmed(const std::string& s) {
  const size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return std::string();
  return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

}  // namespace

int32_t SaveWFLibrary() {
  const std::string home = DynZStringGet(HomeFolder);
  if (home.empty()) return -kErrFolder;
  std::string text;
  {
    platform::MutexGuard guard(SampleLibrary.header.lock);
    for (int32_t i = 0; i < SampleLibrary.header.count && SampleLibrary.entries != nullptr; ++i) {
      const WaveLibraryEntry* e = SampleLibrary.entries[i];
      if (e == nullptr) continue;
      const std::string file = DynZStringGet(e->File);
      if (file.empty()) continue;
      text += DynZStringGet(e->Folder) + "," + file + "\r\n";
    }
  }
  DocumentWriter w;
  int32_t rc = DocumentWriterOpen(w, home + "\\" + kSampleLibraryFileName);
  if (rc != 0) return rc;
  DocumentPut(w, text.data(), text.size());
  return DocumentWriterCommit(w);
}

int32_t LoadWFLibrary() {
  if (WFLibraryLoaded != 0) return 0;
  WFLibraryLoaded = -1;
  const std::string home = DynZStringGet(HomeFolder);
  const std::string path = home + "\\" + kSampleLibraryFileName;
  if (!platform::FileExists(path)) return 0;
  int32_t file = 0;
  int32_t rc = OpenDocumentFile(path, platform::kFileInput, platform::kAccessRead, file);
  if (rc != 0) return rc;

  bool failed = false;
  std::string line;
  // One sample per line, so a damaged line costs that line only.
  while (platform::FileReadLine(file, line) == 0) {
    const size_t comma = line.find(',');
    const std::string storedFolder = Trimmed(line.substr(0, comma));
    std::string name;
    if (comma != std::string::npos) {
      const size_t next = line.find(',', comma + 1);
      name = Trimmed(line.substr(comma + 1, next == std::string::npos ? std::string::npos : next - comma - 1));
    }
    if (name.empty()) continue;
    // No name we write holds a NUL: the line is damaged (kept as a name it
    // would also stand beside the same file once more).
    if (line.find('\0') != std::string::npos) {
      Report(LangText(150, "Could not load: ") + name.c_str(), kLevelError);
      failed = true;
      continue;
    }
    const std::string folder = LocateFile(storedFolder, name, "\\AUDIO");
    if (folder.empty()) {
      Report(LangText(148, "Could not find: ") + name, kLevelWarning);
      failed = true;
      continue;
    }
    if (FindLoadedWave(folder, name, 0) >= 0) {
      Report(name + LangText(149, " is already in library."), kLevelWarning);
      continue;
    }
    if (ConvertAndLoadWave(folder, name) < 0) {
      Report(LangText(150, "Could not load: ") + name, kLevelError);
      failed = true;
    }
  }
  platform::FileClose(file);

  if (failed) {
    const std::string backup = home + "\\" + kSampleLibraryBackupPrefix + std::to_string(UnixTimeNow()) + ".txt";
    if (platform::FileCopy(path, backup) != 0) Report(LangText(151, "Could not backup library file."), kLevelError);
  }
  return 0;
}

}  // namespace Tarvelo
