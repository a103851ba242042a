// The per-voice Keyboard keeps what it published while nothing changes, and
// publishes again after whatever else wrote its outputs: a reset of them
// between frames, a feedback reader's seed while it slept, the single-voice
// function. Its publish stamp tells followers which publish they see.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/dsp/keyboards.h"
#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

class KeyboardPublish : public testing_synth::SynthTest {
 protected:
  void Build() {
    kb_ = Add(kTypeKeyboard);
    ASSERT_NE(kb_, nullptr);
    PerVoice(kb_);
    Output(kb_);
    Render(2);
    for (int32_t key : {40, 44, 47})
      ASSERT_GE(KeyNoteOn(key, 0.01f * static_cast<float>(key), kb_->InstanceNumber.Load()), 0);
    Render(3);
    ASSERT_EQ(kb_->ActiveVoices.Load(), 3);
    held_.assign(kb_->Outputs[0], kb_->Outputs[0] + 3);
    ids_.assign(kb_->VoiceIds, kb_->VoiceIds + 3);
  }
  // The outputs and voice ids hold the three held notes.
  void ExpectHeld() {
    ASSERT_EQ(kb_->ActiveVoices.Load(), 3);
    EXPECT_EQ(std::memcmp(kb_->Outputs[0], held_.data(), 3 * sizeof(OutputElement)), 0);
    EXPECT_EQ(std::memcmp(kb_->VoiceIds, ids_.data(), 3 * sizeof(int32_t)), 0);
  }

  ModuleRecord* kb_ = nullptr;
  std::vector<OutputElement> held_;
  std::vector<int32_t> ids_;
};

TEST_F(KeyboardPublish, TheStampStaysWhileNothingChangesAndMovesWithEveryPublish) {
  Build();
  if (HasFatalFailure()) return;
  const uint32_t first = PublishStamp(*kb_);
  EXPECT_NE(first, 0u);
  Render(20);
  EXPECT_EQ(PublishStamp(*kb_), first);
  ExpectHeld();
  ASSERT_GE(KeyNoteOn(50, 0.9f, kb_->InstanceNumber.Load()), 0);
  Render(1);
  const uint32_t second = PublishStamp(*kb_);
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first);
  EXPECT_EQ(kb_->ActiveVoices.Load(), 4);
  // A second board's publishes never carry the first one's stamps.
  ModuleRecord* other = Add(kTypeKeyboard);
  ASSERT_NE(other, nullptr);
  PerVoice(other);
  Output(other);
  Render(1);
  EXPECT_NE(PublishStamp(*other), second);
  EXPECT_NE(PublishStamp(*other), first);
}

TEST_F(KeyboardPublish, OutputsResetBetweenFramesArePublishedAgain) {
  Build();
  if (HasFatalFailure()) return;
  // A reset of a playing module clears its outputs and keeps its voices.
  ASSERT_NE(kb_->ModuleSwitches[kSwitchPlay].Load(), 0);
  ModuleReset(*kb_);
  ASSERT_EQ(kb_->ActiveVoices.Load(), 3);
  EXPECT_EQ(kb_->Outputs[0][0].Frequency, 0.0f);
  EXPECT_EQ(PublishStamp(*kb_), 0u);
  Render(1);
  ExpectHeld();
  EXPECT_NE(PublishStamp(*kb_), 0u);
}

TEST_F(KeyboardPublish, OutputsSeededWhileAsleepArePublishedAgainOnWaking) {
  Build();
  if (HasFatalFailure()) return;
  kb_->ModuleSwitches[kSwitchPlay].Store(0);
  Render(1);
  ASSERT_EQ(kb_->ActiveVoices.Load(), 0);
  // What a feedback reader writes into a source without voices.
  for (int32_t ch = 0; ch < 2; ++ch)
    for (int32_t v = 0; v < kVoices; ++v) kb_->Outputs[ch][v] = OutputElement{0.25f, 0.25f};
  kb_->ModuleSwitches[kSwitchPlay].Store(-1);
  Render(1);
  ExpectHeld();
}

TEST_F(KeyboardPublish, TheSingleVoiceFunctionLeavesNoStamp) {
  Build();
  if (HasFatalFailure()) return;
  kb_->ModuleSwitches[kSwitchPerVoice].Store(0);
  kb_->PolyphonyMode.Store(0);
  Output(kb_);
  Render(2);
  EXPECT_EQ(PublishStamp(*kb_), 0u);
  EXPECT_EQ(kb_->ActiveVoices.Load(), 1);
  kb_->ModuleSwitches[kSwitchPerVoice].Store(-1);
  kb_->PolyphonyMode.Store(1);
  Output(kb_);
  Render(2);
  ExpectHeld();
  EXPECT_NE(PublishStamp(*kb_), 0u);
}

}  // namespace
}  // namespace Tarvelo
