// Words of the engine's mailbox that the interface reads while the render
// runs commands and fills the slot again from the queue behind it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "module_fixture.h"

using namespace Tarvelo;
using tarvelo_test::EngineTest;

namespace {

constexpr int32_t kAddition = 33;
constexpr int32_t kRectifier = 41;

using CommandWordsTest = EngineTest;

// Set and the module pages ask whether a pending command names their module
// (SettleCommandsOf) while the render runs the posted one and moves the next
// one from the queue into the slot: the module words of the slot are read
// whole on one side and written whole on the other.
TEST_F(CommandWordsTest, AskingWhatIsPendingWhileTheRenderFillsTheSlot) {
  CommandSlotWait = 0.0;  // posts queue behind a busy slot at once
  ModuleRecord* out = Add(kAddition);
  std::vector<ModuleRecord*> readers, sources;
  for (int32_t i = 0; i < 4; ++i) readers.push_back(Add(kAddition));
  for (int32_t i = 0; i < 4; ++i) sources.push_back(Add(kRectifier));
  RequestGraphRebuild(0, 0, out);
  std::atomic<bool> stop{false};
  PlaybackActive = -1;
  std::thread render([&] {
    while (!stop.load()) {
      RenderBusy = 1;
      ExecuteEngineCommand();
      FrameCounter.fetch_add(1);
      RenderBusy = 0;
    }
  });
  int32_t named = 0;
  for (int32_t round = 0; round < 4000; ++round) {
    PostLinkInput(readers[round % 4], round % 2, sources[(round / 4) % 4], kAddition);
    for (ModuleRecord* m : readers) named += EngineCommandReferences(m) ? 1 : 0;
  }
  while (EngineCommandPending()) std::this_thread::yield();
  stop = true;
  render.join();
  PlaybackActive = 0;
  EXPECT_GT(named, 0);  // the asks met pending commands
  for (ModuleRecord* m : readers) EXPECT_FALSE(EngineCommandReferences(m));
}

}  // namespace
