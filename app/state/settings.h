// The user's settings and the file Settings.txt that keeps them (lang.txt
// beside the program holds the defaults in the same format), the display sizes
// derived from the zoom, and the small path services of the start-up: the
// session named on the command line, the data sub-folders, and finding a file
// whose folder moved.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "basics/shared_word.h"

namespace Tarvelo {

// The held values of the 18 keys. Booleans are -1 true, 0 false; numbers,
// texts and flags are zero or empty until a settings file is read.
struct SettingsRecord {
  // one thread: interface, the settings windows' handlers and the file
  int64_t DisplayDriver = 0;       // "DISPLAY DRIVER": 0 GDI, 1 DirectX, 2 OpenGL
  int64_t ScreenWidth = 0;         // "SCREEN WIDTH", 1280..4096 when read
  int64_t ScreenHeight = 0;        // "SCREEN HEIGHT", 720..2160 when read
  int64_t Monitors = 0;            // "MONITORS": monitors the window spans
  float Zoom = 0.0f;               // "ZOOM FACTOR": the zoom of the next start
  // "USE SHADER": set by the interface (the settings reader, the video
  // settings' switch); every draw (video thread) reads it.
  QUARLE_BASICS::Shared<int64_t> UseShader{0};
  // one thread: interface, the settings windows' handlers and the file
  int64_t CpuSaving = 0;           // "CPU-SAVING"
  int32_t Language = 0;            // "LANGUAGE": index into LanguageCodes
  std::string OutputDevice;        // "OUTPUT DEVICE"
  std::string InputDevice;         // "INPUT DEVICE"
  int64_t OutputBufferLength = 0;  // "OUTPUT BUFFER LENGTH": ms, 1..32 when read
  int64_t AutoConnect = 0;         // "AUTO-CONNECT"
  int64_t UseDefaultDevice = 0;    // "USE DEFAULT DEVICE"
  int32_t TimeBase = 0;            // "TIME BASE": TimeBases[TimeBaseIndex], 2, 3 or 5
  int64_t AutoSave = 0;            // "AUTO-SAVE"
  // "DISPLAY MIDI INPUT": set by the interface (the settings reader, the MIDI
  // page's switch); the MIDI thread reads it for every message, the monitor's
  // draw (video thread) at every frame.
  QUARLE_BASICS::Shared<int64_t> DisplayMidiInput{0};
  // one thread: interface, the settings windows' handlers and the file
  int32_t Scope = 0;               // "SCOPE": scope mode 0..4
};
// Its plain fields are the interface's; the words other threads read are shared.
// one thread: interface
extern SettingsRecord Settings;

// The zoom in use (taken from the setting when it is applied), the largest zoom
// the screen allows and the origin of the zoom selector (0.6, the least usable zoom).
// one thread: interface
extern float ZoomFactor;
extern float ZoomLimit;
extern float BaseZoom;
// Monitors in use: the MONITORS setting when it was applied, at least 1; the
// scope's draws read it.
// one thread: start-up, read-only between
extern int64_t MonitorsSpanned;

// Monitors present, as the system last reported them.
// one thread: interface
extern int32_t MonitorCount;

// The current synth file ("SESSION"): its folder (no trailing separator), its
// file name and its title (the name without extension).
// one thread: interface
extern std::string SessionFolder;
extern std::string SessionFile;
extern std::string SessionTitle;

// Interface sizes derived from the zoom by ApplyDisplaySettings (the icon size
// and the border width live with the interface's fonts and controls). Every
// draw reads the unit.
// one thread: start-up, read-only between
extern int32_t DefaultTextSize;
extern int32_t UiUnit;

// The name of display driver i as the settings file writes it ("GDI" for an
// index outside 0..2).
std::string DisplayDriverName(int64_t i);

constexpr const char* kSettingsFileName = "Settings.txt";
constexpr const char* kDefaultSettingsFileName = "lang.txt";

// Writes the 18 lines to HomeFolder\Settings.txt through a temporary file that
// replaces the old one only once complete: 0, -27 without a data folder, or the
// negated file error (the old file then stays as it was).
int32_t SaveSettings();
// Reads a settings file ("" = HomeFolder\Settings.txt): 0; -24 when no file
// holds the name (nothing, or a folder: the save then says why); the negated
// open error (a pipe or a device under the name: kErrNotRegularFile). Values
// of keys the file lacks keep what they held.
int32_t LoadSettings(const std::string& path);

// The value items of one settings line, read in order; past the end they read "".
// one thread: value
struct SettingItems {
  std::vector<std::string> items;
  std::vector<bool> quoted;  // per item: it stood in quotes
  size_t next = 0;
  std::string Take();
  // A name: a quoted one exactly as it stands between its quotes (spaces at
  // its ends are part of it), an unquoted one trimmed.
  std::string TakeName();
};
// Splits a line into items: blanks and tabs before an item skipped, a comma
// ends an item, a quoted item runs to its closing quote (commas included) and
// loses its quotes, a doubled quote inside it stands for one quote, text after
// the closing quote up to the comma is dropped.
SettingItems SplitSettingLine(const std::string& line);
// Applies one key, taking its own value items; an unknown key takes one item.
void ParseSettingLine(const std::string& key, SettingItems& values);

// Lowers the zoom limit (and the zoom beyond it) for a total screen width.
void SetZoomLimit(int64_t width);
// Derives the interface sizes and the icon advances from the zoom and saves the
// settings: 0; -21 when an icon advance cannot be had; a font error code.
int32_t ApplyDisplaySettings();
// The interface sizes and icon advances of zoom z, which becomes the zoom in
// use (the setting is left alone); 0 or the font's error.
int32_t ApplyZoomSizes(float z);
// Adopts an existing ".tarvelo" file as the session; anything else changes
// nothing: 0. A folder named ".tarvelo" is reported at the error level and
// leaves no session (a new synth starts, as after a damaged file): -61.
int32_t SetSessionFromPath(const std::string& path);
// Names the session's synth file (its title the name less its extension) and,
// when that changed it, saves the settings: the result of SaveSettings, or 0.
int32_t NameSession(const std::string& folder, const std::string& file);
// Makes sure parent\name exists and leaves the current folder at its parent:
// 0, or -27 (reported at the fatal level with the folder it could not make or use).
int32_t EnsureFolder(const std::string& name, const std::string& parent);
// The folder holding the file: the given one, the same sub-folder under this
// user's data folder, or HomeFolder + subFolder; "" (reported) when none has it.
std::string LocateFile(const std::string& folder, const std::string& file,
                       const std::string& subFolder);

}  // namespace Tarvelo
