#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "audio/wav.h"
#include "basics/dynzstring.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "engine/catalog/engine_init.h"
#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "platform/paths.h"

namespace fs = std::filesystem;

namespace fuzz {
namespace {

fs::path& Root() {
  static fs::path root;
  return root;
}

void Quiet(const std::string&, int32_t) {}

}  // namespace

const std::string& Home() {
  static std::string home;
  if (home.empty()) {
    Root() = fs::temp_directory_path() / ("tarvelo_fuzz_" + std::to_string(::getpid()));
    fs::remove_all(Root());
    for (const char* sub : {"AUDIO/CONVERTED", "AUDIO/RECORDED", "FILTERS", "MELODIES", "SYNTHS", "TUNINGS"})
      fs::create_directories(Root() / sub);
    home = platform::FromOsPath(Root().string());
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, home);
    QUARLE_BASICS::MessageHook = Quiet;
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(Root(), ec);
    });
  }
  return home;
}

std::string Sys(const std::string& sub) { return sub.empty() ? Home() : Home() + "\\" + sub; }

std::string Os(const std::string& sub) {
  Home();
  std::string s = sub;
  for (char& c : s)
    if (c == '\\') c = '/';
  return (Root() / s).string();
}

void WriteFile(const std::string& osPath, const uint8_t* data, size_t size) {
  std::ofstream out(osPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<uint8_t> ReadFile(const std::string& osPath) {
  // In one piece: a byte-wise copy through the instrumented stream templates
  // costs more than the reader under test.
  std::vector<uint8_t> bytes;
  std::FILE* f = std::fopen(osPath.c_str(), "rb");
  if (f == nullptr) return bytes;
  std::fseek(f, 0, SEEK_END);
  const long n = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  if (n > 0) {
    bytes.resize(static_cast<size_t>(n));
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
  }
  std::fclose(f);
  return bytes;
}

void KeepSeed(const std::string& osFolder, const std::string& sub, const std::string& seedName) {
  fs::create_directories(osFolder);
  fs::copy_file(Os(sub), fs::path(osFolder) / seedName, fs::copy_options::overwrite_existing);
}

void EmptyList(Tarvelo::WaveLibraryList& list) {
  platform::MutexGuard guard(list.header.lock);
  for (int32_t i = 0; i < list.header.count; ++i) {
    Tarvelo::WaveLibraryEntryDelete(list.entries[i]);
    list.entries[i] = nullptr;
  }
  list.header.count = 0;
}

void MakeWav(const std::string& path, int32_t frames, int16_t channels, int16_t bits, int32_t rate) {
  QUARLE_AUDIO::SoundBuffer sb;
  QUARLE_AUDIO::SoundBufferInitFormat(&sb, channels, 32, rate);
  const size_t n = static_cast<size_t>(frames) * static_cast<size_t>(channels);
  sb.samples = static_cast<float*>(std::calloc(n + 1, sizeof(float)));
  for (size_t i = 0; i < n; ++i) sb.samples[i] = static_cast<float>(i % 50) / 50.0f - 0.5f;
  sb.dataSize = static_cast<uint32_t>(n * 4);
  sb.frameCount = static_cast<uint32_t>(frames);
  Check(QUARLE_AUDIO::SaveWavFile(path, &sb, bits) == 0, "wav");
  QUARLE_AUDIO::SoundBufferFree(&sb);
}

void StartEngine() {
  static bool started = false;
  if (started) return;
  started = true;
  Home();
  setenv("TARVELO_HEADLESS", "1", 1);
  for (platform::Mutex*& m : Tarvelo::MT_TUNINGS)
    if (m == nullptr) m = platform::MutexCreate();
  Check(Tarvelo::init(48000.0f) == 0, "engine start");
  Check(Tarvelo::WaveLibraryListsCreate() == 0, "wave lists");
  QUARLE_AUDIO::StreamLength = 960;
  Render(1);
}

void Render(int32_t frames) {
  std::vector<float> buffer(2 * static_cast<size_t>(frames), 0.0f);
  float* p = buffer.data();
  Tarvelo::RenderAudio(&p, 0, 2 * frames);
}

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "reader broke its promise: %s\n", what);
  std::abort();
}

}  // namespace fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Home();
  FuzzSetUp();
  if (const char* seeds = std::getenv("TARVELO_FUZZ_SEEDS")) {
    FuzzSeeds(seeds);
    std::exit(0);
  }
  return 0;
}
