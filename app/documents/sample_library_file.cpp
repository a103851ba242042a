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

// A folder or name that would not read back as it is (a comma, a quote,
// spaces at either end) is written in double quotes, its quotes doubled.
std::string ListField(const std::string& s) {
  if (s.find_first_of(",\"") == std::string::npos && Trimmed(s) == s) return s;
  std::string quoted = "\"";
  for (char c : s) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// The field of the line starting at pos, which moves past its comma. A field
// in quotes counts as quoted only when the closing quote ends it; anything
// else (lists written before quoting) is read up to the comma and trimmed.
std::string NextField(const std::string& line, size_t& pos) {
  const size_t start = line.find_first_not_of(' ', pos);
  if (start != std::string::npos && line[start] == '"') {
    std::string text;
    size_t i = start + 1;
    for (; i < line.size(); ++i) {
      if (line[i] != '"') {
        text += line[i];
      } else if (i + 1 < line.size() && line[i + 1] == '"') {
        text += '"';
        ++i;
      } else {
        break;
      }
    }
    const size_t after = i < line.size() ? line.find_first_not_of(' ', i + 1) : std::string::npos;
    if (i < line.size() && (after == std::string::npos || line[after] == ',')) {
      pos = after == std::string::npos ? std::string::npos : after + 1;
      return text;
    }
  }
  if (pos == std::string::npos || pos > line.size()) {
    pos = std::string::npos;
    return std::string();
  }
  const size_t comma = line.find(',', pos);
  const std::string field = Trimmed(line.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
  pos = comma == std::string::npos ? std::string::npos : comma + 1;
  return field;
}

}  // namespace

int32_t SaveWFLibrary() { return SaveWFLibraryThen(nullptr); }

int32_t SaveWFLibraryThen(std::function<void(int32_t)> done) {
  const std::string home = DynZStringGet(HomeFolder);
  if (home.empty()) {
    if (done) done(-kErrFolder);
    return -kErrFolder;
  }
  std::string text;
  {
    platform::MutexGuard guard(SampleLibrary.header.lock);
    for (int32_t i = 0; i < SampleLibrary.header.count && SampleLibrary.entries != nullptr; ++i) {
      const WaveLibraryEntry* e = SampleLibrary.entries[i];
      if (e == nullptr) continue;
      const std::string file = DynZStringGet(e->File);
      if (file.empty()) continue;
      text += ListField(DynZStringGet(e->Folder)) + "," + ListField(file) + "\r\n";
    }
  }
  return SaveWithOutcome(
      [&](std::function<void(int32_t)> tell) {
        DocumentWriter w;
        DocumentWriterOpen(w, home + "\\" + kSampleLibraryFileName);
        DocumentPut(w, text.data(), text.size());
        return DocumentWriterHandOver(w, "", std::move(tell));
      },
      std::move(done));
}

int32_t LoadWFLibrary() {
  if (WFLibraryLoaded != 0) return 0;
  WFLibraryLoaded = -1;
  const std::string home = DynZStringGet(HomeFolder);
  const std::string path = home + "\\" + kSampleLibraryFileName;
  // A folder in the list's place is no missing list: the user is told.
  if (!platform::FileExists(path)) return platform::FolderExists(path) ? -kErrFolderNamed : 0;
  int32_t file = 0;
  int32_t rc = OpenDocumentFile(path, platform::kFileInput, platform::kAccessRead, file);
  if (rc != 0) return rc;

  bool failed = false;
  std::string line;
  // One sample per line, so a damaged line costs that line only.
  while (platform::FileReadLine(file, line) == 0) {
    size_t pos = 0;
    const std::string storedFolder = NextField(line, pos);
    const std::string name = NextField(line, pos);
    if (name.empty()) continue;
    // No name we write holds a NUL: the line is damaged (kept as a name it
    // would also stand beside the same file once more).
    if (line.find('\0') != std::string::npos) {
      Report(LangText(150, "Could not load: ") + name.c_str(), kLevelError);
      failed = true;
      continue;
    }
    // A folder at the stored name is found but is no sample: said so, not
    // looked for elsewhere.
    if (platform::FolderExists(storedFolder + "\\" + name)) {
      Report(LangText(150, "Could not load: ") + name + " - " + ErrorText(-kErrFolderNamed), kLevelError);
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
    if (const int32_t rc = ConvertAndLoadWave(folder, name); rc < 0) {
      Report(LangText(150, "Could not load: ") + name + " - " + ErrorText(rc), kLevelError);
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
