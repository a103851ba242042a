// LoadSettings on any bytes: every value lands in its range, and what is read
// saves and reads back the same (texts holding quotes or commas included).
#include "fuzz_support.h"

#include "app/state/settings.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "engine/notes.h"

using namespace Tarvelo;

namespace {

std::vector<uint8_t> SavedSettings() {
  fuzz::Check(SaveSettings() == 0, "save");
  return fuzz::ReadFile(fuzz::Os("Settings.txt"));
}

}  // namespace

void FuzzSetUp() {}

void FuzzSeeds(const std::string& dir) {
  Settings.ScreenWidth = 1920;
  Settings.ScreenHeight = 1080;
  Settings.Monitors = 1;
  Settings.Zoom = 1.2f;
  Settings.OutputDevice = "Built-in \"Analog\" Stereo, 2";
  Settings.InputDevice = "Mic";
  Settings.OutputBufferLength = 7;
  Settings.AutoSave = -1;
  Settings.Scope = 3;
  SessionFolder = "C:\\Users\\me\\SYNTHS";
  SessionFile = "My \"best\", synth.tarvelo";
  SavedSettings();
  fuzz::KeepSeed(dir, "Settings.txt", "settings.txt");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Settings = SettingsRecord{};
  SessionFolder.clear();
  SessionFile.clear();
  SessionTitle.clear();
  fuzz::WriteFile(fuzz::Os("in.txt"), data, size);
  const int32_t rc = LoadSettings(fuzz::Sys("in.txt"));
  fuzz::Check(rc == 0, "an existing settings file reads");
  fuzz::Check(fuzz::ReadFile(fuzz::Os("in.txt")).size() == size, "the file is only read");
  const SettingsRecord& s = Settings;
  fuzz::Check(s.ScreenWidth == 0 || (s.ScreenWidth >= 1280 && s.ScreenWidth <= 4096), "width");
  fuzz::Check(s.ScreenHeight == 0 || (s.ScreenHeight >= 720 && s.ScreenHeight <= 2160), "height");
  fuzz::Check(s.OutputBufferLength == 0 || (s.OutputBufferLength >= 1 && s.OutputBufferLength <= 32), "buffer");
  fuzz::Check(s.Scope >= 0 && s.Scope <= 4, "scope");
  fuzz::Check(s.Language >= 0 && s.Language <= 3, "language");
  fuzz::Check(s.DisplayDriver >= 0 && s.DisplayDriver <= 2, "driver");
  fuzz::Check(s.Zoom == s.Zoom, "zoom");

  // Read back, the saved texts are the texts read, and a second round changes
  // nothing (the first may: keys the input lacked read as clamped values).
  const std::string output = Settings.OutputDevice, input = Settings.InputDevice;
  const std::string folder = SessionFolder, file = SessionFile;
  SavedSettings();
  Settings = SettingsRecord{};
  fuzz::Check(LoadSettings("") == 0, "reads back");
  fuzz::Check(Settings.OutputDevice == output, "output device reads back whole");
  fuzz::Check(Settings.InputDevice == input, "input device reads back whole");
  fuzz::Check(SessionFolder == folder && SessionFile == file, "session reads back whole");
  const std::vector<uint8_t> once = SavedSettings();
  Settings = SettingsRecord{};
  fuzz::Check(LoadSettings("") == 0, "reads back");
  fuzz::Check(SavedSettings() == once, "saves to the same bytes");
  return 0;
}
