#include "app/state/settings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "app/fixed_tables.h"
#include "app/state/ui_hooks.h"
#include "basics/console.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "basics/timetext.h"
#include "engine/notes.h"
#include "platform/display.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "visuals/fonts.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::kErrFileAccess;
using QUARLE_BASICS::kErrFileNotFound;
using QUARLE_BASICS::kErrFolder;
using QUARLE_BASICS::kErrNoFreeFile;

SettingsRecord Settings;
float ZoomFactor = 0.0f;
float ZoomLimit = 0.0f;
// The zoom selector's first option: the least zoom at which the whole
// interface builds and every icon shows (below it the layout unit and the icon
// size are too small: at 0.2 a list has no room for a row, at 0.4 most icons
// come out blank). Anything below is replaced at start.
float BaseZoom = 0.6f;
int64_t MonitorsSpanned = 0;
int32_t MonitorCount = 0;
std::string SessionFolder;
std::string SessionFile;
std::string SessionTitle;
int32_t DefaultTextSize = 0;
int32_t UiUnit = 0;

namespace {

// The names the file uses, should the program's tables not be filled yet.
constexpr const char* kDriverNames[3] = {"GDI", "DirectX", "OpenGL"};
constexpr const char* kLanguageCodes[4] = {"EN", "FR", "ES", "XX"};

std::string LanguageCode(int32_t i) {
  if (i < 0 || i > 3) i = 0;
  const char* code = QUARLE_BASICS::LanguageCodes[i];
  return code[0] ? std::string(code) : std::string(kLanguageCodes[i]);
}

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

// A quote inside a text is written twice, so the text reads back whole.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}
std::string Bool(int64_t flag) { return flag != 0 ? "\"TRUE\"" : "\"FALSE\""; }

// The leading whole number of a text (blanks, an optional sign, digits); 0 for
// a text that does not start with one; saturated instead of overflowing.
int64_t LeadingInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t v = 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    v = v > (kMax - digit) / 10 ? kMax : v * 10 + digit;
  }
  return negative ? -v : v;
}

int64_t Clamp(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

// A number item; anything that is no finite number reads as 0.
double Number(const std::string& text) {
  const double v = platform::ItemValue(text);
  return std::isfinite(v) ? v : 0.0;
}

int32_t OpenNumbered(const std::string& path, platform::FileMode mode, int32_t& number) {
  platform::MutexGuard guard(QUARLE_BASICS::MT_FILES);
  number = platform::FreeFile();
  if (number <= 0) return -kErrNoFreeFile;
  const int32_t rc = platform::FileOpen(number, path, mode);
  return rc != 0 ? -rc : 0;
}

std::string SettingsText() {
  const int32_t base = std::clamp(TimeBaseIndex.Load(), 0, 2);
  Settings.TimeBase = TimeBases[base];
  char zoom[32];
  std::snprintf(zoom, sizeof zoom, "%.7g", static_cast<double>(Settings.Zoom));
  std::string t;
  auto line = [&t](const char* key, const std::string& value) {
    t += "\"";
    t += key;
    t += "\",";
    t += value;
    t += "\r\n";
  };
  line("DISPLAY DRIVER", Quoted(DisplayDriverName(Settings.DisplayDriver)));
  line("SCREEN WIDTH", std::to_string(Settings.ScreenWidth));
  line("SCREEN HEIGHT", std::to_string(Settings.ScreenHeight));
  line("MONITORS", std::to_string(Settings.Monitors));
  line("ZOOM FACTOR", zoom);
  line("USE SHADER", Bool(Settings.UseShader.Load()));
  line("CPU-SAVING", Bool(Settings.CpuSaving));
  line("LANGUAGE", Quoted(LanguageCode(Settings.Language)));
  line("OUTPUT DEVICE", Quoted(Settings.OutputDevice));
  line("INPUT DEVICE", Quoted(Settings.InputDevice));
  line("OUTPUT BUFFER LENGTH", std::to_string(Settings.OutputBufferLength));
  line("AUTO-CONNECT", Bool(Settings.AutoConnect));
  line("USE DEFAULT DEVICE", Bool(Settings.UseDefaultDevice));
  line("TIME BASE", std::to_string(Settings.TimeBase));
  line("AUTO-SAVE", Bool(Settings.AutoSave));
  line("DISPLAY MIDI INPUT", Bool(Settings.DisplayMidiInput.Load()));
  line("SCOPE", std::to_string(Settings.Scope));
  line("SESSION", Quoted(SessionFolder) + "," + Quoted(SessionFile));
  return t;
}

std::string TitleOf(const std::string& file) {
  const size_t dot = file.rfind('.');
  if (dot == std::string::npos) return QUARLE_BASICS::LangText(146, "[NEW SESSION]");
  return file.substr(0, dot);
}

}  // namespace

std::string DisplayDriverName(int64_t i) {
  if (i < 0 || i > 2) i = 0;
  const char* name = DisplayDriverNames[i];
  return name[0] ? std::string(name) : std::string(kDriverNames[i]);
}

std::string SettingItems::Take() { return next < items.size() ? items[next++] : std::string(); }

std::string SettingItems::TakeName() {
  const bool exact = next < quoted.size() && quoted[next];
  const std::string item = Take();
  return exact ? item : Trim(item);
}

SettingItems SplitSettingLine(const std::string& line) {
  SettingItems out;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::string item;
    out.quoted.push_back(i < n && line[i] == '"');
    if (i < n && line[i] == '"') {
      ++i;
      // A doubled quote is one quote of the text; a single one closes it.
      while (i < n && (line[i] != '"' || (i + 1 < n && line[i + 1] == '"'))) {
        if (line[i] == '"') ++i;
        item += line[i++];
      }
      while (i < n && line[i] != ',') ++i;  // past the closing quote up to the comma
    } else {
      while (i < n && line[i] != ',') item += line[i++];
    }
    out.items.push_back(item);
    if (i < n) ++i;  // the comma
  }
  return out;
}

void ParseSettingLine(const std::string& rawKey, SettingItems& values) {
  std::string key = platform::UpperCase(Trim(rawKey));
  if (key.empty()) return;
  const size_t colon = key.rfind(':');
  if (colon != std::string::npos) key = key.substr(0, colon) + key.substr(colon + 1);

  if (key == "DISPLAY DRIVER") {
    QUARLE_BASICS::DisplayDriverIndex = 0;
    const std::string name = Trim(values.Take());
    for (int32_t i = 0; i < 3; ++i) {
      if (name == DisplayDriverName(i)) {
        QUARLE_BASICS::DisplayDriverIndex = static_cast<uint8_t>(i);
        Settings.DisplayDriver = i;
      }
    }
  } else if (key == "SCREEN WIDTH") {
    Settings.ScreenWidth = Clamp(LeadingInteger(Trim(values.Take())), 1280, 4096);
  } else if (key == "SCREEN HEIGHT") {
    Settings.ScreenHeight = Clamp(LeadingInteger(Trim(values.Take())), 720, 2160);
  } else if (key == "MONITORS") {
    int64_t m = LeadingInteger(Trim(values.Take()));
    if (m < 1) m = 1;
    MonitorCount = platform::MonitorCount();
    if (m > MonitorCount) m = MonitorCount;
    if (m > 3) m = 3;
    Settings.Monitors = m;
    MonitorsSpanned = m;
  } else if (key == "ZOOM FACTOR") {
    // Far beyond any screen's zoom limit, and keeps the single-precision steps finite.
    const float v = static_cast<float>(std::clamp(Number(Trim(values.Take())), -1000.0, 1000.0));
    float zoom = std::floor(5.0f * v) / 5.0f;
    // Below the least zoom counts as unset: the display settings start it at 1.0.
    if (zoom < BaseZoom) zoom = 0.0f;
    Settings.Zoom = zoom;
    ZoomFactor = zoom;
  } else if (key == "USE SHADER") {
    Settings.UseShader.Store(QUARLE_BASICS::TextToBool(values.Take()) != 0 ? -1 : 0);
  } else if (key == "CPU-SAVING" || key == "CPU SAVING") {
    Settings.CpuSaving = QUARLE_BASICS::TextToBool(values.Take()) != 0 ? -1 : 0;
  } else if (key == "AUTO-CONNECT") {
    Settings.AutoConnect = QUARLE_BASICS::TextToBool(values.Take()) != 0 ? -1 : 0;
  } else if (key == "USE DEFAULT DEVICE") {
    Settings.UseDefaultDevice = QUARLE_BASICS::TextToBool(values.Take()) != 0 ? -1 : 0;
  } else if (key == "AUTO-SAVE" || key == "AUTO SAVE") {
    Settings.AutoSave = QUARLE_BASICS::TextToBool(values.Take()) != 0 ? -1 : 0;
  } else if (key == "DISPLAY MIDI INPUT") {
    Settings.DisplayMidiInput.Store(QUARLE_BASICS::TextToBool(values.Take()) != 0 ? -1 : 0);
  } else if (key == "OUTPUT DEVICE") {
    Settings.OutputDevice = Trim(values.Take());
  } else if (key == "INPUT DEVICE") {
    Settings.InputDevice = Trim(values.Take());
  } else if (key == "OUTPUT BUFFER LENGTH") {
    Settings.OutputBufferLength = Clamp(LeadingInteger(Trim(values.Take())), 1, 32);
  } else if (key == "TIME BASE") {
    const double base = std::nearbyint(Number(Trim(values.Take())));
    const int32_t index = base == 5.0 ? 2 : (base == 3.0 ? 1 : 0);
    TimeBaseIndex.Store(index);
    Settings.TimeBase = TimeBases[index];
  } else if (key == "LANGUAGE") {
    const std::string code = platform::UpperCase(Trim(values.Take()));
    for (int32_t i = 0; i < 4; ++i)
      if (code == LanguageCode(i)) Settings.Language = i;
  } else if (key == "SCOPE") {
    Settings.Scope = static_cast<int32_t>(Clamp(LeadingInteger(Trim(values.Take())), 0, 4));
  } else if (key == "SESSION" || key == "LAST SYNTH") {
    // The writer quotes both names, so a name that starts or ends with spaces
    // reads back whole; files written before read as they did.
    SessionFolder = values.TakeName();
    SessionFile = values.TakeName();
    SessionTitle = TitleOf(SessionFile);
  } else {
    values.Take();
  }
}

int32_t SaveSettings() {
  const std::string home = DynZStringGet(QUARLE_BASICS::HomeFolder);
  if (home.empty()) return -kErrFolder;
  const std::string target = home + "\\" + kSettingsFileName;
  const std::string temporary = platform::ClaimWorkFile(target, ".tmp");
  const std::string text = SettingsText();

  int32_t number = 0;
  int32_t rc = OpenNumbered(temporary, platform::kFileOutput, number);
  if (rc != 0) {
    platform::ReleaseWorkFile(temporary);
    return rc;
  }
  rc = platform::FileWrite(number, text);
  if (rc == 0) rc = platform::FileSync(number);
  const int32_t closed = platform::FileClose(number);
  if (rc == 0) rc = closed;
  // The old file is replaced only by a complete new one.
  if (rc == 0 && platform::FileLength(temporary) != static_cast<int64_t>(text.size())) rc = -kErrFileAccess;
  if (rc == 0) rc = platform::FileReplace(temporary, target);
  if (rc != 0) platform::FileDelete(temporary);
  platform::ReleaseWorkFile(temporary);
  if (rc != 0) return rc < 0 ? rc : -kErrFileAccess;
  return 0;
}

int32_t LoadSettings(const std::string& path) {
  std::string file = path;
  if (file.empty()) {
    const std::string home = DynZStringGet(QUARLE_BASICS::HomeFolder);
    if (home.empty()) return -kErrFileNotFound;
    file = home + "\\" + kSettingsFileName;
  }
  if (!platform::FileExists(file)) return -kErrFileNotFound;
  int32_t number = 0;
  const int32_t rc = OpenNumbered(file, platform::kFileInput, number);
  if (rc != 0) return rc;
  // Line by line, so a line short of its values cannot take the next line's key
  // as one of them.
  std::string line;
  while (platform::FileReadLine(number, line) == 0) {
    SettingItems items = SplitSettingLine(line);
    const std::string key = items.Take();
    ParseSettingLine(key, items);
  }
  platform::FileClose(number);
  return 0;
}

void SetZoomLimit(int64_t width) {
  // Beyond any real desktop; keeps the count below finite.
  const double w = static_cast<double>(Clamp(width, 0, 1 << 20));
  int32_t n = 3;
  while (w / n > 320.0) ++n;
  ZoomLimit = static_cast<float>(n - 1) / 5.0f;
  if (ZoomLimit < BaseZoom) ZoomLimit = BaseZoom;
  if (Settings.Zoom > ZoomLimit) Settings.Zoom = ZoomLimit;
}

int32_t ApplyDisplaySettings() {
  // No settings at all (or a zoom below the smallest step) would leave every
  // size 0 and the interface unusable: such a zoom starts at 1.0, within the
  // screen's limit.
  if (Settings.Zoom < BaseZoom) Settings.Zoom = 1.0f;
  // Without a settings file no monitor count was read: the window spans one,
  // as the reader's lower bound gives. Zero would cap the zoom at its least.
  if (Settings.Monitors < 1) Settings.Monitors = 1;
  SetZoomLimit(Settings.Monitors * Settings.ScreenWidth);
  SaveSettings();
  if (const int32_t r = ApplyZoomSizes(Settings.Zoom); r != 0) return r;
  MonitorsSpanned = Settings.Monitors < 1 ? 1 : Settings.Monitors;
  return 0;
}

int32_t ApplyZoomSizes(float z) {
  const int32_t iconSize = 2 * static_cast<int32_t>(std::floor(22.0f * z / 2.0f));
  QUARLE_VISUALS::IconFont.IconSize = iconSize;
  DefaultTextSize = static_cast<int32_t>(std::floor(20.0f * z));
  QUARLE_VISUALS::BorderWidth = static_cast<int32_t>(std::floor(3.0f * z + 0.3f));
  UiUnit = static_cast<int32_t>(std::floor(5.0f * z));
  StateUseTextFontForEditField();

  for (int32_t code = 1; code <= 121; ++code) {
    const int32_t advance = QUARLE_VISUALS::GlyphAdvance(std::string(1, static_cast<char>(code)),
                                                        QUARLE_VISUALS::IconFont.Face, iconSize);
    if (advance == -1) return -QUARLE_BASICS::kErrAllocation;
    // A font failure would otherwise leave error codes in the table as advances.
    if (advance < 0) return advance;
    if (QUARLE_VISUALS::IconAdvances) QUARLE_VISUALS::IconAdvances[code] = advance;
  }
  ZoomFactor = z;
  return 0;
}

int32_t SetSessionFromPath(const std::string& rawPath) {
  std::string path = Trim(rawPath);
  const bool folder = !path.empty() && platform::FolderExists(path);
  // A shell completes a folder's name with a separator.
  while (folder && path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  if (path.empty() || (!folder && !platform::FileExists(path))) return 0;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || platform::UpperCase(path.substr(dot)) != ".TARVELO") return 0;
  const size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return 0;
  // A folder named as the synth is refused as a damaged file is: said so, and
  // no session (the start-up makes a new synth) unless a later name gives one.
  if (folder) {
    QUARLE_BASICS::Report(path.substr(cut + 1) + QUARLE_BASICS::LangText(132, " could not be opened: ") +
                              QUARLE_BASICS::ErrorText(-QUARLE_BASICS::kErrFolderNamed),
                          QUARLE_BASICS::kLevelError);
    SessionFile.clear();
    return -QUARLE_BASICS::kErrFolderNamed;
  }
  SessionFolder = path.substr(0, cut);
  SessionFile = path.substr(cut + 1);
  SessionTitle = SessionFile.substr(0, SessionFile.rfind('.'));
  return 0;
}

int32_t NameSession(const std::string& folder, const std::string& file) {
  if (folder == SessionFolder && file == SessionFile) return 0;
  SessionFolder = folder;
  SessionFile = file;
  SessionTitle = TitleOf(file);
  return SaveSettings();
}

int32_t EnsureFolder(const std::string& name, const std::string& parent) {
  const std::string path = parent + "\\" + name;
  bool ok = platform::ChangeFolder(path);
  if (!ok) ok = platform::MakeFolder(path) && platform::ChangeFolder(path);
  if (ok) ok = platform::ChangeFolder("..");
  if (!ok) {
    QUARLE_BASICS::Report(QUARLE_BASICS::ErrorText(-kErrFolder) + ": " + path, QUARLE_BASICS::kLevelFatal);
    return -kErrFolder;
  }
  return 0;
}

std::string LocateFile(const std::string& folder, const std::string& file,
                       const std::string& subFolder) {
  if (platform::FileExists(folder + "\\" + file)) return folder;
  const std::string home = DynZStringGet(QUARLE_BASICS::HomeFolder);
  if (!subFolder.empty()) {
    const size_t p = folder.rfind(subFolder);
    if (p != std::string::npos) {
      const std::string candidate = home + folder.substr(p);
      if (platform::FileExists(candidate + "\\" + file)) return candidate;
    }
  }
  const std::string candidate = home + subFolder;
  if (platform::FileExists(candidate + "\\" + file)) return candidate;
  QUARLE_BASICS::Report(QUARLE_BASICS::LangText(145, "Can't find ") + file, QUARLE_BASICS::kLevelWarning);
  return "";
}

}  // namespace Tarvelo
