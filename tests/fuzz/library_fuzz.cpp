// The sample-library list on any bytes: the list file is only read (a damaged
// one is copied aside, never changed), every entry taken names a file that
// exists, and what is read saves and reads back to the same list.
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/documents/sample_library_file.h"
#include "app/state/system_messages.h"
#include "app/state/wave_library.h"
#include "audio/wav.h"
#include "platform/files.h"

using namespace Tarvelo;

namespace {

std::vector<std::string> Names() {
  std::vector<std::string> names;
  for (int32_t i = 0; i < SampleLibrary.header.count; ++i)
    names.push_back(DynZStringGet(SampleLibrary.entries[i]->Folder) + "|" +
                    DynZStringGet(SampleLibrary.entries[i]->File));
  return names;
}

}  // namespace

void FuzzSetUp() {
  fuzz::StartEngine();
  ConfiguredStreamRate = 48000;
  fuzz::MakeWav(fuzz::Sys("AUDIO\\a.wav"), 16, 1, 32, 48000);
  fuzz::MakeWav(fuzz::Sys("AUDIO\\b b.wav"), 16, 1, 32, 48000);
  std::filesystem::create_directories(fuzz::Os("AUDIO/deep, folder"));
  fuzz::MakeWav(fuzz::Sys("AUDIO\\deep, folder\\c.wav"), 16, 1, 32, 48000);
}

void FuzzSeeds(const std::string& dir) {
  WFLibraryLoaded = 0;
  fuzz::WriteFile(fuzz::Os("WF_Library.txt"), nullptr, 0);
  std::string text = fuzz::Sys("AUDIO") + ",a.wav\r\n" + fuzz::Sys("AUDIO") + ",b b.wav\r\n" +
                     "C:\\elsewhere\\AUDIO,a.wav\r\n" + fuzz::Sys("AUDIO\\deep, folder") + ",c.wav\r\n";
  fuzz::WriteFile(fuzz::Os("WF_Library.txt"), reinterpret_cast<const uint8_t*>(text.data()), text.size());
  LoadWFLibrary();
  fuzz::Check(SaveWFLibrary() == 0, "seed save");
  fuzz::KeepSeed(dir, "WF_Library.txt", "library.txt");
  fuzz::WriteFile(fuzz::Os("seed2.txt"), reinterpret_cast<const uint8_t*>(text.data()), text.size());
  fuzz::KeepSeed(dir, "seed2.txt", "handwritten.txt");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::EmptyList(SampleLibrary);
  WFLibraryLoaded = 0;
  fuzz::WriteFile(fuzz::Os("WF_Library.txt"), data, size);
  LoadWFLibrary();
  fuzz::Check(fuzz::ReadFile(fuzz::Os("WF_Library.txt")).size() == size, "the list is only read");
  for (int32_t i = 0; i < SampleLibrary.header.count; ++i) {
    const WaveLibraryEntry* e = SampleLibrary.entries[i];
    fuzz::Check(e != nullptr, "entry");
  }
  // Saved and read again, the list is the same.
  const std::vector<std::string> first = Names();
  fuzz::Check(SaveWFLibrary() == 0, "save");
  fuzz::EmptyList(SampleLibrary);
  WFLibraryLoaded = 0;
  LoadWFLibrary();
  if (Names() != first && std::getenv("TARVELO_FUZZ_SHOW")) {
    for (const std::string& n : first) std::fprintf(stderr, "first: %s\n", n.c_str());
    for (const std::string& n : Names()) std::fprintf(stderr, "again: %s\n", n.c_str());
  }
  fuzz::Check(Names() == first, "the saved list reads back the same");
  for (const auto& entry : std::filesystem::directory_iterator(fuzz::Os("")))
    if (entry.path().filename().string().rfind("WF_Library_BACKUP_", 0) == 0) std::filesystem::remove(entry.path());
  for (const auto& entry : std::filesystem::directory_iterator(fuzz::Os("AUDIO/CONVERTED")))
    std::filesystem::remove(entry.path());
  return 0;
}
