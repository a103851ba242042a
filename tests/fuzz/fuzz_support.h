// What the file readers' fuzz targets share: a data folder of their own, the
// input written to the file a reader opens, the engine started once, and the
// seeds our own writers make.
//
// Each target defines FuzzSetUp (once, before the first input), FuzzSeeds
// (writes seed files into an OS folder) and LLVMFuzzerTestOneInput. Built
// with libFuzzer, run
//   TARVELO_FUZZ_SEEDS=corpus/melody ./fuzz_melody
// once to write the seeds, then
//   ./fuzz_melody -max_total_time=300 -jobs=1 corpus/melody
// Built in a test build (replay.cpp), ./fuzz_melody replays its seeds.
// A reader that breaks its promise (a refused file that changed something, a
// file on disk that changed) aborts, so the fuzzer keeps the input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/state/wave_library.h"

void FuzzSetUp();
void FuzzSeeds(const std::string& osFolder);

namespace fuzz {

// The data folder (with AUDIO, AUDIO/CONVERTED, FILTERS, MELODIES, SYNTHS and
// TUNINGS) as a system path ("\" inside), and an OS path under it.
const std::string& Home();
std::string Sys(const std::string& sub);
std::string Os(const std::string& sub);

void WriteFile(const std::string& osPath, const uint8_t* data, size_t size);
std::vector<uint8_t> ReadFile(const std::string& osPath);
// Copies a file our writer made under the data folder into the seed folder.
void KeepSeed(const std::string& osFolder, const std::string& sub, const std::string& seedName);

// Frees every entry of a wave list (the count becomes 0).
void EmptyList(Tarvelo::WaveLibraryList& list);
// A WAV file of a ramp at a system path, written by our writer (16 or 32 bits).
void MakeWav(const std::string& path, int32_t frames, int16_t channels, int16_t bits, int32_t rate);

// Tarvelo::init at 48 kHz, the wave lists, the tuning locks and the MIDI maps;
// reports go nowhere.
void StartEngine();
// Renders frames through the real render callback.
void Render(int32_t frames);

// Aborts with the text when the condition does not hold.
void Check(bool condition, const char* what);

}  // namespace fuzz
