// Shared set-up of the document tests: a data folder of its own per test with
// the sub-folders the start-up makes, the four library lists, and the reports
// caught instead of printed.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "app/documents/doc_hooks.h"
#include "app/documents/doc_io.h"
#include "app/state/settings.h"
#include "app/state/wave_library.h"
#include "audio/wav.h"
#include "basics/dynzstring.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "platform/paths.h"

namespace Tarvelo {
namespace doc_test {

namespace fs = std::filesystem;

inline std::vector<std::pair<std::string, int32_t>>& Reports() {
  static std::vector<std::pair<std::string, int32_t>> reports;
  return reports;
}
inline void Catch(const std::string& text, int32_t level) { Reports().emplace_back(text, level); }

// Reports that start with the text.
inline int CountReports(const std::string& start) {
  int n = 0;
  for (const auto& r : Reports())
    if (r.first.compare(0, start.size(), start) == 0) ++n;
  return n;
}

inline std::vector<unsigned char> ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void WriteBytes(const fs::path& p, const std::vector<unsigned char>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
inline void WriteText(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

class DocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tarvelo_docs_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    for (const char* sub : {"AUDIO/CONVERTED", "AUDIO/RECORDED", "FILTERS", "MELODIES", "SYNTHS", "TUNINGS"})
      fs::create_directories(dir_ / sub);
    home_ = platform::FromOsPath(dir_.string());
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, home_);
    Reports().clear();
    QUARLE_BASICS::MessageHook = Catch;
    ASSERT_EQ(WaveLibraryListsCreate(), 0);
    LibraryChanged = 0;
    ResetDocumentUiHooks();
    DocumentFailWritesAfter(-1);
    SessionFolder.clear();
    SessionFile.clear();
    SessionTitle.clear();
  }
  void TearDown() override {
    WaveLibraryListsFree();
    ResetDocumentUiHooks();
    DocumentFailWritesAfter(-1);
    QUARLE_BASICS::MessageHook = nullptr;
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // A system path under the test's data folder ("" is the folder itself).
  std::string Home(const std::string& sub = "") const { return sub.empty() ? home_ : home_ + "\\" + sub; }
  fs::path Os(const std::string& sub) const {
    std::string s = sub;
    for (char& c : s)
      if (c == '\\') c = '/';
    return dir_ / s;
  }

  // A WAV file of a ramp: frames x channels values, written with the width.
  static void MakeWav(const std::string& path, int32_t frames, int16_t channels, int16_t bits, int32_t rate) {
    QUARLE_AUDIO::SoundBuffer sb;
    // The buffer holds floats whatever width the file gets.
    QUARLE_AUDIO::SoundBufferInitFormat(&sb, channels, 32, rate);
    const size_t n = static_cast<size_t>(frames) * static_cast<size_t>(channels);
    sb.samples = static_cast<float*>(std::calloc(n, sizeof(float)));
    for (size_t i = 0; i < n; ++i) sb.samples[i] = static_cast<float>(i % 200) / 200.0f - 0.5f;
    sb.dataSize = static_cast<uint32_t>(n * 4);
    sb.frameCount = static_cast<uint32_t>(frames);
    EXPECT_EQ(QUARLE_AUDIO::SaveWavFile(path, &sb, bits), 0);
    QUARLE_AUDIO::SoundBufferFree(&sb);
  }

  fs::path dir_;
  std::string home_;
};

}  // namespace doc_test
}  // namespace Tarvelo
