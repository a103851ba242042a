// Shared set-up of the engine tests: the catalog is built once per program (it
// is large), the lists and the mailbox are fresh for every test.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basics/messages.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/globals.h"
#include "engine/modulelist.h"

namespace tarvelo_test {

inline std::vector<std::pair<std::string, int32_t>>& Messages() {
  static std::vector<std::pair<std::string, int32_t>> messages;
  return messages;
}
inline void CaptureMessage(const std::string& text, int32_t level) { Messages().emplace_back(text, level); }

// Other tests of the same program may have shut the engine down (freeing the
// templates), so ask the catalog itself whether it is there.
inline void EnsureCatalog() {
  if (Tarvelo::CatalogBuilt == 0) {
    Tarvelo::SetRateConstants(48000.0f);
    Tarvelo::FillIndexMaps();
    Tarvelo::FillKernelTables();
    ASSERT_EQ(Tarvelo::BuildCatalog(), 0);
  }
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureCatalog();
    Messages().clear();
    QUARLE_BASICS::MessageHook = CaptureMessage;
    ASSERT_EQ(Tarvelo::InitModuleLists(), 0);
    Tarvelo::EngineCommandInit();
    Tarvelo::ResetEngineCommand(Tarvelo::EngineCommand);
    Tarvelo::PlaybackActive = 0;
    Tarvelo::RenderBusy = 0;
    Tarvelo::CommandSlotWait = 3.0;
    Tarvelo::ModuleLiveWait = 1.0;
  }
  void TearDown() override {
    Tarvelo::PlaybackActive = 0;
    Tarvelo::RenderBusy = 0;
    Tarvelo::FreeModuleLists();
    Tarvelo::EngineCommandFree();
    Tarvelo::DescribeWave = nullptr;
    Tarvelo::BoxHooks = Tarvelo::ModuleBoxHooks{};
    // Links made by the tests may have left entries in the templates' tables.
    for (Tarvelo::ModuleRecord& t : Tarvelo::ModuleCatalog) t.OutputCount.Store(0);
    QUARLE_BASICS::MessageHook = nullptr;
  }

  // A listed module of a type.
  Tarvelo::ModuleRecord* Add(int32_t type) {
    Tarvelo::ModuleRecord* m = nullptr;
    EXPECT_GE(Tarvelo::AddModule(type, true, &m), 0);
    return m;
  }
  static Tarvelo::ModuleRecord* Template(int32_t type) { return &Tarvelo::ModuleCatalog[type]; }
  static void Link(Tarvelo::ModuleRecord* m, int32_t port, Tarvelo::ModuleRecord* source) {
    Tarvelo::ModuleLinkInput(*m, port, source, Template(m->Type));
  }
};

}  // namespace tarvelo_test
