#include <gtest/gtest.h>

#include "engine/module.h"
#include "module_fixture.h"

using namespace Tarvelo;
using tarvelo_test::EngineTest;
using tarvelo_test::Messages;

namespace {

constexpr int32_t kRectifier = 41;  // one port, no required link
constexpr int32_t kAddition = 33;
constexpr int32_t kDelay = 15;

using ModuleTest = EngineTest;

TEST_F(ModuleTest, DuplicateOfTemplateReadsOwnValueModules) {
  ModuleRecord* m = Add(kAddition);
  ASSERT_NE(m, nullptr);
  const ModuleRecord* t = Template(kAddition);
  EXPECT_EQ(m->Type, kAddition);
  EXPECT_EQ(m->PortCount, 2);
  EXPECT_EQ(m->ParamCount, t->ParamCount);
  EXPECT_EQ(m->Role, kRoleLive);
  EXPECT_EQ(m->ModuleSwitches[kSwitchRecord].Load(), 0);
  EXPECT_EQ(m->TriggerOwner.Load(), m);
  EXPECT_EQ(m->ActiveVoices.Load(), 0);
  for (int32_t p = 0; p < kPortValueSlots; ++p) {
    ASSERT_NE(m->PortValueModules[p], nullptr);
    EXPECT_EQ(m->PortValueModules[p]->Role, kRoleLivePortValue);
    EXPECT_NE(m->PortValueModules[p], t->PortValueModules[p]);
    EXPECT_EQ(m->PortSources[p].Load(), m->PortValueModules[p]);
    EXPECT_EQ(m->Params[p].PortLinkState.Load(), kPortUnlinked);
    EXPECT_EQ(m->PortValueModules[p]->ActiveVoices.Load(), 1);
    EXPECT_EQ(m->PortValueModules[p]->Outputs[0][0].Level, t->PortValueModules[p]->Outputs[0][0].Level);
  }
  // The "Feedback seed" rides along: 0.5 in both channels.
  ModuleRecord* seed = m->PortValueModules[m->ParamCount - 1];
  EXPECT_EQ(seed->Outputs[0][0].Level, 0.5f);
  EXPECT_EQ(seed->Outputs[1][0].Frequency, 0.5f);
  EXPECT_EQ(seed->ChannelsProcessed.Load(), 1);  // written to both channels alike
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(m->Name), "Addition");
}

TEST_F(ModuleTest, DuplicateKeepsLinksAndRegistersThem) {
  ModuleRecord* src = Add(kRectifier);
  ModuleRecord* a = Add(kAddition);
  Link(a, 0, src);
  Link(a, 1, a);
  ModuleRecord* copy = nullptr;
  ASSERT_GE(AddModule(a->ListIndex.Load(), false, &copy), 0);
  EXPECT_EQ(copy->PortSources[0].Load(), src);
  EXPECT_EQ(copy->Params[0].PortLinkState.Load(), kPortLinked);
  EXPECT_EQ(copy->PortSources[1].Load(), copy);
  EXPECT_EQ(copy->Params[1].PortLinkState.Load(), kPortSelfLinked);
  EXPECT_EQ(src->OutputCount.Load(), 2);
  EXPECT_EQ(copy->OutputTargets[0], copy);
}

TEST_F(ModuleTest, DuplicateFallsBackWhenSourceTableIsFull) {
  ModuleRecord* src = Add(kRectifier);
  ModuleRecord* a = Add(kAddition);
  Link(a, 0, src);
  for (int32_t i = 1; i < kMaxOutputTargets; ++i) ModuleConnectOutput(*src, src, 1000 + i);
  // The table now holds a's entry and 255 others; the copy cannot register.
  ModuleRecord* copy = nullptr;
  ASSERT_GE(AddModule(a->ListIndex.Load(), false, &copy), 0);
  EXPECT_EQ(copy->PortSources[0].Load(), copy->PortValueModules[0]);
  EXPECT_EQ(copy->Params[0].PortLinkState.Load(), kPortUnlinked);
  src->OutputCount.Store(1);
}

TEST_F(ModuleTest, OutputTableHolds256) {
  ModuleRecord* src = Add(kRectifier);
  ModuleRecord* target = Add(kAddition);
  for (int32_t port = 0; port < 256; ++port) ASSERT_EQ(ModuleConnectOutput(*src, target, port), -1);
  EXPECT_EQ(ModuleConnectOutput(*src, target, 5), -1);  // already present
  EXPECT_EQ(src->OutputCount.Load(), 256);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(ModuleConnectOutput(*src, target, 256), 0);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].first, "OUTPUT FULL (MAX 256)");
  EXPECT_EQ(Messages()[0].second, QUARLE_BASICS::kLevelWarning);
  // A freed entry in the middle is reused; the count does not shrink for it.
  ModuleDisconnectOutput(*src, target, 100);
  EXPECT_EQ(src->OutputCount.Load(), 256);
  EXPECT_EQ(src->OutputTargets[100], nullptr);
  EXPECT_EQ(ModuleConnectOutput(*src, target, 300), -1);
  EXPECT_EQ(src->OutputTargetPorts[100], 300);
  // Freeing the last entry shrinks the count.
  ModuleDisconnectOutput(*src, target, 255);
  EXPECT_EQ(src->OutputCount.Load(), 255);
}

TEST_F(ModuleTest, LinkUnlinkAndFallBack) {
  ModuleRecord* src = Add(kRectifier);
  ModuleRecord* a = Add(kAddition);
  ModuleRecord* t = Template(kAddition);
  CablesDirty = 0;
  a->Params[0].VoiceMapRow = 1;
  EXPECT_EQ(ModuleLinkInput(*a, 0, src, t), kLinkConnected);
  EXPECT_EQ(a->PortSources[0].Load(), src);
  EXPECT_EQ(a->Params[0].PortLinkState.Load(), kPortLinked);
  EXPECT_EQ(a->Params[0].VoiceMapRow, 0);
  EXPECT_EQ(CablesDirty.load(), -1);
  EXPECT_EQ(src->OutputCount.Load(), 1);
  // Linking to the current source unlinks.
  EXPECT_EQ(ModuleLinkInput(*a, 0, src, t), kLinkDisconnected);
  EXPECT_EQ(a->PortSources[0].Load(), a->PortValueModules[0]);
  EXPECT_EQ(a->Params[0].PortLinkState.Load(), kPortUnlinked);
  EXPECT_EQ(src->OutputTargets[0], nullptr);
  // Linking to nothing answers -1 and still falls back, leaving no entry behind.
  ModuleLinkInput(*a, 0, src, t);
  EXPECT_EQ(ModuleLinkInput(*a, 0, nullptr, t), kLinkRefused);
  EXPECT_EQ(a->PortSources[0].Load(), a->PortValueModules[0]);
  EXPECT_EQ(src->OutputCount.Load(), 0);
  // Linked to itself.
  EXPECT_EQ(ModuleLinkInput(*a, 1, a, t), kLinkConnected);
  EXPECT_EQ(a->Params[1].PortLinkState.Load(), kPortSelfLinked);
  EXPECT_EQ(a->OutputTargets[0], a);
}

TEST_F(ModuleTest, GlobalPortsAndTheTemplateTable) {
  ModuleRecord* src = Add(kRectifier);
  ModuleRecord* a = Add(kAddition);
  ModuleRecord* t = Template(kAddition);
  a->Params[1].Global.Store(-1);
  EXPECT_EQ(ModuleLinkInput(*a, 1, nullptr, t), kLinkRefused);
  EXPECT_EQ(a->PortSources[1].Load(), t->PortValueModules[1]);
  EXPECT_EQ(a->Params[1].PortLinkState.Load(), kPortGlobal);
  ASSERT_EQ(t->OutputCount.Load(), 1);
  EXPECT_EQ(t->OutputTargets[0], a);
  // Relinking a global port takes its entry out of the template's table.
  EXPECT_EQ(ModuleLinkInput(*a, 1, src, t), kLinkConnected);
  EXPECT_EQ(t->OutputCount.Load(), 0);
  // Unlinking brings it back to the shared value.
  EXPECT_EQ(ModuleLinkInput(*a, 1, src, t), kLinkDisconnected);
  EXPECT_EQ(a->Params[1].PortLinkState.Load(), kPortGlobal);
  EXPECT_EQ(t->OutputCount.Load(), 1);
  // Not global any more: back to its own value module, out of the table.
  a->Params[1].Global.Store(0);
  ModuleLinkInput(*a, 1, nullptr, t);
  EXPECT_EQ(a->PortSources[1].Load(), a->PortValueModules[1]);
  EXPECT_EQ(t->OutputTargets[0], nullptr);
}

TEST_F(ModuleTest, RefusedLinks) {
  ModuleRecord* src = Add(kRectifier);
  ModuleRecord* a = Add(kAddition);
  ModuleRecord* t = Template(kAddition);
  EXPECT_EQ(ModuleLinkInput(*a, 0, src, nullptr), kLinkRefused);
  EXPECT_EQ(ModuleLinkInput(*a, 99, src, t), kLinkRefused);
  EXPECT_EQ(ModuleLinkInput(*a, -1, src, t), kLinkRefused);
  EXPECT_EQ(ModuleLinkInput(*t, 0, src, t), kLinkRefused);
  EXPECT_EQ(ModuleLinkInput(*a->PortValueModules[0], 0, src, t), kLinkRefused);
  EXPECT_EQ(a->PortSources[0].Load(), a->PortValueModules[0]);
  EXPECT_EQ(src->OutputCount.Load(), 0);
  // A full table refuses and leaves the port as it was.
  ModuleRecord* other = Add(kRectifier);
  Link(a, 0, other);
  for (int32_t i = 0; i < kMaxOutputTargets; ++i) ModuleConnectOutput(*src, src, 1000 + i);
  EXPECT_EQ(ModuleLinkInput(*a, 0, src, t), kLinkRefused);
  EXPECT_EQ(a->PortSources[0].Load(), other);
  EXPECT_EQ(other->OutputCount.Load(), 1);
  src->OutputCount.Store(0);

  EXPECT_EQ(ClassifyPortBinding(*a, 0, other, t), kLinkDisconnected);
  EXPECT_EQ(ClassifyPortBinding(*a, 0, src, t), kLinkConnected);
  EXPECT_EQ(ClassifyPortBinding(*a, 2, src, t), kLinkRefused);  // the seed is no port
  EXPECT_EQ(ClassifyPortBinding(*a, 0, a->PortValueModules[0], t), kLinkRefused);
  EXPECT_EQ(ClassifyPortBinding(*a, 0, src, nullptr), kLinkRefused);
}

TEST_F(ModuleTest, WorkBuffersPerVoiceAndReallocation) {
  ModuleRecord* d = Add(kDelay);
  ASSERT_NE(d->WorkBuffers[0], nullptr);
  EXPECT_NE(d->WorkBuffers[31], nullptr);
  EXPECT_EQ(d->WorkBufferSize, (RateWhole + 1) * 2);
  d->WorkBuffers[5][7] = 1.0f;
  d->PolyphonyMode.Store(1);
  ModuleClearWorkBuffers(*d);
  EXPECT_EQ(d->WorkBuffers[5][7], 0.0f);
  // Control modules keep one buffer; the others are released, not left stale.
  d->Category = kCategoryControl;
  ASSERT_EQ(ModuleAllocBuffers(*d, 10, 2, -1), 0);
  EXPECT_NE(d->WorkBuffers[0], nullptr);
  EXPECT_EQ(d->WorkBuffers[1], nullptr);
  EXPECT_EQ(d->WorkBufferSize, 20);
  ModuleClearWorkBuffers(*d);
}

TEST_F(ModuleTest, ResetWakeAndSleep) {
  ModuleRecord* a = Add(kAddition);
  a->ActiveVoices.Store(3);
  a->Outputs[0][1].Level = 0.5f;
  a->ModuleSwitches[kSwitchPlay].Store(0);
  a->ModuleSwitches[kSwitchRecord].Store(0);
  a->Awake = -1;
  ModuleReset(*a);  // parks the voices
  EXPECT_EQ(a->ActiveVoices.Load(), 0);
  EXPECT_EQ(a->SleepingVoices, 3);
  EXPECT_EQ(a->Outputs[0][1].Level, 0.5f);
  EXPECT_EQ(a->Awake, 0);
  ModuleWake(*a);
  EXPECT_EQ(a->ActiveVoices.Load(), 3);
  EXPECT_EQ(a->Awake, -1);
  a->ModuleSwitches[kSwitchPlay].Store(-1);
  ModuleReset(*a);  // clears the outputs
  EXPECT_EQ(a->Outputs[0][1].Level, 0.0f);
  ModuleWake(*a);
  EXPECT_EQ(a->ActiveVoices.Load(), 1);  // single voice without saved voices

  a->Outputs[1][2].Level = 1.0f;
  a->ActiveVoices.Store(5);
  ModuleResetVoices(*a);
  EXPECT_EQ(a->Outputs[1][2].Level, 0.0f);
  EXPECT_EQ(a->ActiveVoices.Load(), 1);
  a->PolyphonyMode.Store(1);
  ModuleResetVoices(*a);
  EXPECT_EQ(a->ActiveVoices.Load(), 0);

  a->ActiveVoices.Store(3);
  for (int32_t v = 0; v < 6; ++v) a->Outputs[0][v].Level = 1.0f;
  ClearDroppedVoices(*a, 5);
  EXPECT_EQ(a->Outputs[0][2].Level, 1.0f);
  EXPECT_EQ(a->Outputs[0][3].Level, 0.0f);
  EXPECT_EQ(a->Outputs[0][4].Level, 0.0f);
  EXPECT_EQ(a->Outputs[0][5].Level, 1.0f);

  a->TriggerBuffers[1][0] = 7;
  a->TriggerBuffers[1][9] = 7;
  ClearTriggerBuffer(*a, 1);  // per voice: all 32 entries
  EXPECT_EQ(a->TriggerBuffers[1][9], 0u);
  a->PolyphonyMode.Store(0);
  a->TriggerBuffers[0][0] = 7;
  a->TriggerBuffers[0][9] = 7;
  ClearTriggerBuffer(*a, 0);
  EXPECT_EQ(a->TriggerBuffers[0][0], 0u);
  EXPECT_EQ(a->TriggerBuffers[0][9], 7u);
}

TEST_F(ModuleTest, ChannelsFollowSources) {
  ModuleRecord* src = Add(kRectifier);
  ModuleRecord* a = Add(kAddition);
  Link(a, 0, src);
  src->ChannelsProcessed.Store(2);
  a->Outputs[1][3].Level = 0.5f;
  ModuleUpdateChannels(*a, -1, 0);
  EXPECT_EQ(a->ChannelsProcessed.Load(), 2);
  EXPECT_EQ(a->ChannelsGrew, -1);
  EXPECT_EQ(a->Outputs[1][3].Level, 0.5f);
  ModuleUpdateChannels(*a, -1, -1);
  EXPECT_EQ(a->Outputs[1][3].Level, 0.0f);
  EXPECT_EQ(a->ChannelsGrew, 0);
  // An exempt port does not count; a fixed module never changes.
  ModuleRecord* b = Add(kAddition);
  Link(b, 0, src);
  b->Params[0].ChannelCountExempt = -1;
  ModuleUpdateChannels(*b, -1, -1);
  EXPECT_EQ(b->ChannelsProcessed.Load(), 1);
  b->ChannelsFixed = -1;
  ModuleUpdateChannels(*b, 2, -1);
  EXPECT_EQ(b->ChannelsProcessed.Load(), 1);
}

TEST_F(ModuleTest, PolyphonyFollowsLeadSource) {
  ModuleRecord* src = Add(kRectifier);
  ModuleRecord* a = Add(kAddition);
  Link(a, 0, src);
  a->VoiceMapSourcePort.Store(0);
  a->FollowsPolyphony = -1;
  src->ModuleSwitches[kSwitchPerVoice].Store(-1);
  a->ActiveVoices.Store(4);
  ModuleUpdatePolyphony(*a, -1);
  EXPECT_EQ(a->ModuleSwitches[kSwitchPerVoice].Load(), -1);
  EXPECT_EQ(a->PolyphonyMode.Load(), 1);
  EXPECT_EQ(a->ActiveVoices.Load(), 0);
  EXPECT_EQ(a->PolyphonyChanged, 0);

  ModuleSetPolyphonyPort(*a, 1);
  EXPECT_EQ(a->VoiceMapSourcePort.Load(), 1);
  EXPECT_EQ(a->ChosenSourcePort, 1);
  ModuleSetPolyphonyPort(*a, 7);  // not a port: ignored
  EXPECT_EQ(a->VoiceMapSourcePort.Load(), 1);
  a->RequiredPort = -1;
  ModuleSetPolyphonyPort(*a, -1);
  EXPECT_EQ(a->ChosenSourcePort, -1);
  EXPECT_EQ(a->VoiceMapSourcePort.Load(), 0);
}

}  // namespace
