// A synth built from the catalog, played through the real audio thread into
// OpenAL Soft's wave driver: what reaches the device is the engine's sound, in
// tune, at its level, for as long as it played, with no underrun. And takes
// of a Sequencer that a MIDI device plays, stopped by their button while the
// stream runs and saved right after: the save writes each take whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/documents/melody_file.h"
#include "app/documents/synth_file.h"
#include "app/documents/wave_convert.h"
#include "app/fixed_tables.h"
#include "app/state/system_messages.h"
#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "audio/midi.h"
#include "audio/openal_env.h"
#include "audio/thread.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/oscillators.h"
#include "engine/dsp/sequencer.h"
#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/params.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "platform/midi.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "ui/panels/melody_panel.h"

namespace QA = QUARLE_AUDIO;
namespace QB = QUARLE_BASICS;
namespace fs = std::filesystem;

namespace {

Tarvelo::ModuleRecord* Add(int32_t type) {
  Tarvelo::ModuleRecord* m = nullptr;
  EXPECT_GE(Tarvelo::AddModule(type, true, &m), 0);
  return m;
}

TEST(SynthStream, KeyboardAndOscillatorPlayThroughTheWaveDriver) {
  audiotest::InFreshProcess([] {
    auto setup = audiotest::ConfigureOpenAl();
    audiotest::SetUpFoundation();
    for (platform::Mutex*& m : Tarvelo::MT_TUNINGS) m = platform::MutexCreate();
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);

    // A per-voice keyboard driving a sine oscillator of amplitude 0.5.
    Tarvelo::ModuleRecord* kb = Add(Tarvelo::kTypeKeyboard);
    kb->ModuleSwitches[Tarvelo::kSwitchPerVoice].Store(-1);
    kb->PolyphonyMode.Store(1);
    Tarvelo::ModuleRecord* osc = Add(Tarvelo::kTypeOscillator);
    osc->ModuleSwitches[Tarvelo::kSwitchPerVoice].Store(-1);
    osc->PolyphonyMode.Store(1);
    Tarvelo::SetOscillatorShape(*osc, 0);
    ASSERT_EQ(Tarvelo::ModuleLinkInput(*osc, Tarvelo::kOscFrequency, kb,
                                       &Tarvelo::ModuleCatalog[osc->Type]),
              Tarvelo::kLinkConnected);
    Tarvelo::ModuleSetParamValue(*osc, Tarvelo::kOscAmplitude,
                                 0.5f / osc->Params[Tarvelo::kOscAmplitude].Scale);
    Tarvelo::RequestGraphRebuild(0, 0, osc);
    ASSERT_GE(Tarvelo::KeyNoteOn(48, 1.0f, 1), 0);  // A4 in the default tuning

    audiotest::ReportLog log;
    QB::DynZStringAssign(QA::PlaybackSelectedName, "Wave File Writer");
    ASSERT_EQ(QA::init(&Tarvelo::RenderAudio, &Tarvelo::CaptureAudio, 48), 0);
    log.Start();
    std::thread* handle = nullptr;
    ASSERT_EQ(QA::StartAudioThread(handle, 48000, 10), 0);
    audiotest::PostAudio(QA::kAudioPlaybackOn);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOn, 1, 2.0));
    // Three seconds of sound rendered, however long a busy machine takes.
    constexpr int64_t kFloats = 2 * 3 * 48000;
    ASSERT_TRUE(audiotest::WaitUntil([&] { return audiotest::SplitStream(log.Reports()).floats >= kFloats; }));
    audiotest::PostAudio(QA::kAudioPlaybackOff);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOff, 1, 2.0));
    audiotest::PostAudio(QA::kAudioQuit);
    QA::WaitAudioThread(handle);
    log.Stop();

    // Buffers of 10 ms; each underrun (a busy machine's; the thread checker
    // makes the render several times slower) restarts the stream 1 ms longer.
    const audiotest::StreamRuns runs = audiotest::SplitStream(log.Reports());
    ASSERT_FALSE(runs.lengths.empty());
    for (size_t i = 0; i < runs.lengths.size(); ++i)
      EXPECT_EQ(runs.lengths[i], std::min<int32_t>(960 + 96 * static_cast<int32_t>(i), 3072));
    EXPECT_EQ(log.CountMessages("Playback: buffer overrun"), 0);

    audiotest::WavContent wav;
    ASSERT_TRUE(audiotest::ReadWav(setup.waveFile, wav));
    ASSERT_EQ(wav.channels, 2);
    ASSERT_EQ(wav.rate, 48000);
    size_t first = 0;
    while (first < wav.samples.size() / 2 && wav.samples[2 * first] == 0.0f) ++first;
    size_t last = wav.samples.size() / 2;
    while (last > first && wav.samples[2 * last - 2] == 0.0f) --last;
    std::vector<float> heard(wav.samples.begin() + 2 * first, wav.samples.begin() + 2 * last);
    // All that was rendered was heard, but for what was still queued or waiting
    // at the stop or at a restart (four buffers at most each).
    const int64_t rendered = runs.floats / 2;
    const int64_t sounding = audiotest::SoundingFrames(heard, 0);
    EXPECT_LE(sounding, rendered);
    EXPECT_GE(sounding, rendered - (4 * runs.Restarts() + 5) * runs.Longest() / 2);
    // In tune, and within each run of sound one unbroken sine: nothing
    // dropped, repeated or out of order between two restarts.
    for (int32_t channel : {0, 1}) {
      SCOPED_TRACE(channel);
      EXPECT_NEAR(audiotest::ZeroCrossingFrequency(heard, channel, 48000), 440.0, 1.0);
      EXPECT_EQ(audiotest::SineBreaks(heard, channel, 440.0, 48000), 0);
    }
    // The oscillator's 0.5 at the device's source gain of 0.5.
    float peak = 0.0f;
    for (float x : heard) peak = std::max(peak, std::fabs(x));
    EXPECT_NEAR(peak, 0.25f, 0.005f);

    QA::CloseAudio();
    Tarvelo::close();
    audiotest::RemoveTree(setup.dir);
  });
}

// The interface thread's turn of the event loop: queue 0 to the system-message
// handler, as the program's loop does.
void TakeQueueZero() {
  static QB::CommandMessage* fetched = nullptr;
  static QB::ArrayHeader header;
  if (QB::FetchCommands(fetched, header, QB::MainCommandQueue) != 0) return;
  for (int32_t i = 0; i < header.count; ++i) Tarvelo::HandleSystemMessage(&fetched[i]);
}

bool Listed(const Tarvelo::WaveLibraryEntry* e) {
  platform::MutexGuard guard(Tarvelo::MelodyLibrary.header.lock);
  for (int32_t i = 0; i < Tarvelo::MelodyLibrary.header.count; ++i)
    if (Tarvelo::MelodyLibrary.entries[i] == e) return true;
  return false;
}

// Twenty-five takes of a Sequencer fed by a MIDI device's notes through a
// Keyboard, each stopped as its button stops it (the render ends it at its
// next frame: the notes' end, the melody's size and its tempo analysis) and
// followed at once by session saves. A save writes a take only once the
// render handed it over, and then writes the analysed melody; nothing else
// syncs the two threads meanwhile, so ThreadSanitizer sees any read of the
// take the hand-over does not order.
TEST(SynthStream, SequencerTakesStoppedByTheirButtonAreSavedWhole) {
  audiotest::InFreshProcess([] {
    namespace T = Tarvelo;
    auto setup = audiotest::ConfigureOpenAl({}, "/dev/null");
    audiotest::SetUpFoundation();
    const fs::path home = fs::path(setup.dir) / "Tarvelo";
    for (const char* sub : {"MELODIES", "SYNTHS"}) fs::create_directories(home / sub);
    const std::string homeText = platform::FromOsPath(home.string());
    QB::DynZStringAssign(QB::HomeFolder, homeText);
    T::SetProductIdentity();
    for (platform::Mutex*& m : T::MT_TUNINGS) m = platform::MutexCreate();
    ASSERT_EQ(T::init(48000.0f), 0);
    ASSERT_EQ(T::WaveLibraryListsCreate(), 0);
    platform::MarkInterfaceThread();

    // The device plays the current keyboard, whose notes the Sequencer records.
    T::ModuleRecord* kb = Add(T::kTypeKeyboard);
    T::ModuleRecord* seq = Add(T::kTypeSequencer);
    ASSERT_EQ(T::CurrentKeyboard.load(), kb);
    for (T::ModuleRecord* m : {kb, seq}) {
      m->ModuleSwitches[T::kSwitchPerVoice].Store(-1);
      m->PolyphonyMode.Store(1);
    }
    for (int32_t port : {T::kSeqFrequency, T::kSeqVelocity})
      ASSERT_EQ(T::ModuleLinkInput(*seq, port, kb, &T::ModuleCatalog[seq->Type]), T::kLinkConnected);
    T::RequestGraphRebuild(0, 0, seq);
    platform::MidiFakeRemoveAll();
    ASSERT_EQ(QA::InitMidiControllerTypes(), 0);
    QA::MidiInCallback = &QA::MidiInProc;
    const int32_t device = platform::MidiFakePlug("Keys");
    ASSERT_EQ(QA::CheckMidiDevices(), 1);

    QB::DynZStringAssign(QA::PlaybackSelectedName, "Wave File Writer");
    ASSERT_EQ(QA::init(&T::RenderAudio, &T::CaptureAudio, 48), 0);
    QA::PlaybackHandOver.store(true);
    // A save copies the modules between two frames; slowed by a sanitizer as
    // much as the render is, the copy must not outlast the render's wait for it.
    T::FrameHoldLimit *= audiotest::kSanitizerSlowdown;
    std::thread* audio = nullptr;
    ASSERT_EQ(QA::StartAudioThread(audio, 48000, 10), 0);
    T::UpdateProcessingOrder(~uint64_t{0});
    audiotest::PostAudio(QA::kAudioPlaybackOn);
    auto pump = [](auto done) {
      return audiotest::WaitUntil([&] {
        TakeQueueZero();
        return done();
      });
    };
    ASSERT_TRUE(pump([] { return T::PlaybackActive.load() != 0; }));
    // Frames rendered from now on (a wait only bounds a hang).
    auto render = [&](uint64_t frames) {
      const uint64_t until = T::FrameCounter.load() + frames;
      return pump([&] { return T::FrameCounter.load() >= until || T::PlaybackActive.load() == 0; }) &&
             T::PlaybackActive.load() != 0;
    };
    auto send = [&](std::vector<uint8_t> bytes) {
      ASSERT_TRUE(platform::MidiFakeSend(device, bytes));
      ASSERT_TRUE(platform::MidiInFlush(audiotest::kHangBound));
    };

    constexpr int32_t kTakes = 25;
    constexpr int32_t kNotes = 3;
    int32_t saved = 0;
    for (int32_t take = 0; take < kTakes; ++take) {
      SCOPED_TRACE("take " + std::to_string(take));
      // The button's first press: a new melody, attached with recording on.
      // No length limit: the last take's length would end this one by itself.
      T::SetParamValueOrQueue(*seq, T::kSeqLength, 0.0f);
      T::WaveLibraryEntry* e = nullptr;
      ASSERT_EQ(T::NewMelodyEntry(250, &e), 0);
      T::AssignWaveToModule(seq, e, ~uint64_t{0});
      T::WaitEngineCommandSlot();
      ASSERT_TRUE(pump([&] { return seq->ModuleSwitches[T::kSwitchRecord].Load() != 0; }))
          << "playing " << T::PlaybackActive.load() << ", command pending " << T::EngineCommandPending()
          << ", attached " << (seq->SampleEntry.Load() == e);
      // Notes a tenth of a second apart, each held for half that.
      for (int32_t k = 0; k < kNotes; ++k) {
        const uint8_t note = static_cast<uint8_t>(60 + 2 * k + take % 5);
        send({0x90, note, static_cast<uint8_t>(70 + 10 * k)});
        ASSERT_TRUE(render(2400));
        send({0x80, note, 0});
        ASSERT_TRUE(render(2400));
      }
      // The second press, then saves at once: for 60 ms and until one wrote
      // the take.
      seq->RecordDone.Store(-1);
      const auto start = std::chrono::steady_clock::now();
      const auto bound = start + std::chrono::duration<double>(audiotest::kHangBound);
      bool written = false;
      while (std::chrono::steady_clock::now() < bound) {
        ASSERT_EQ(T::SaveSession(homeText + "\\SYNTHS", "takes.tarvelo"), 0);
        written = Listed(e) && e->Saved != 0;
        if (written && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(60)) break;
      }
      ASSERT_TRUE(written) << "the take was not saved";
      ++saved;
      // The file holds the take as the render left it, analysed: its notes,
      // its beat frequency and its length.
      ASSERT_EQ(e->State.Load(std::memory_order_acquire), T::kWaveIdle);
      const uint32_t size = e->Sound.dataSize;
      ASSERT_EQ(size, static_cast<uint32_t>(4 * (T::kMelodyHead + T::kMelodyNoteFloats * kNotes)));
      const float* data = e->Sound.samples;
      EXPECT_EQ(data[T::kMelodyNoteCount], static_cast<float>(kNotes));
      EXPECT_GT(data[T::kMelodyBeatFrequency], 0.0f);
      EXPECT_GT(data[T::kMelodyLength], 0.0f);
      const fs::path file = home / "MELODIES" / QB::DynZStringGet(e->File);
      std::ifstream in(file, std::ios::binary);
      const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      const size_t head = 4 + T::kMelodyMagicLength + 4;
      ASSERT_EQ(bytes.size(), head + size) << file;
      int32_t stored = 0;
      std::memcpy(&stored, bytes.data() + head - 4, 4);
      EXPECT_EQ(stored, static_cast<int32_t>(size));
      EXPECT_EQ(std::memcmp(bytes.data() + head, data, size), 0) << "the file holds another melody than the take's";
    }
    EXPECT_EQ(saved, kTakes);

    audiotest::PostAudio(QA::kAudioPlaybackOff);
    pump([] { return T::PlaybackActive.load() == 0; });
    audiotest::PostAudio(QA::kAudioQuit);
    QA::WaitAudioThread(audio);
    TakeQueueZero();
    QA::CloseMidiInput();
    platform::MidiFakeRemoveAll();
    platform::ForgetInterfaceThread();
    T::WaveLibraryListsFree();
    QA::CloseAudio();
    T::close();
    audiotest::RemoveTree(setup.dir);
  });
}

}  // namespace
