// The switch to the plain kernels: how the environment is read, and that
// every start-up choice of a kernel build (the variant choosers that run while
// the program is relocated as well as the flags set before main) follows it.
#include "engine/dsp/kernel_choice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/dsp/contract.h"
#include "tests/engine/child_run.h"

namespace Tarvelo {
namespace {

TEST(KernelChoiceTest, SwitchReadFromTheEnvironment) {
  struct Case {
    std::vector<const char*> environment;
    bool plain;
  };
  const Case cases[] = {
      {{}, false},
      {{"HOME=/root", "PATH=/bin"}, false},
      {{"TARVELO_PLAIN_KERNELS=1"}, true},
      {{"HOME=/root", "TARVELO_PLAIN_KERNELS=yes", "PATH=/bin"}, true},
      {{"TARVELO_PLAIN_KERNELS=0"}, false},
      {{"TARVELO_PLAIN_KERNELS="}, false},
      {{"TARVELO_PLAIN_KERNELS=00"}, true},
      // Names that only begin or end like it.
      {{"TARVELO_PLAIN_KERNELS_X=1", "XTARVELO_PLAIN_KERNELS=1", "TARVELO_PLAIN_KERNEL=1"}, false},
      {{"TARVELO_PLAIN_KERNELS"}, false},
      // The first setting counts, as for getenv.
      {{"TARVELO_PLAIN_KERNELS=0", "TARVELO_PLAIN_KERNELS=1"}, false},
      {{"TARVELO_PLAIN_KERNELS=1", "TARVELO_PLAIN_KERNELS=0"}, true},
  };
  for (const Case& c : cases) {
    std::vector<const char*> environment = c.environment;
    environment.push_back(nullptr);
    std::string what;
    for (const char* e : c.environment) what += std::string(e) + " ";
    EXPECT_EQ(PlainKernelsAskedIn(environment.data()), c.plain) << what;
  }
  EXPECT_FALSE(PlainKernelsAskedIn(nullptr));
}

// Run in a process of its own by the next test, with the switch set or not.
TEST(KernelChoiceTest, ThisRunFollowsItsSwitch) {
  // What the choosers read before the C library started is what getenv reads now.
  const char* set = std::getenv("TARVELO_PLAIN_KERNELS");
  const bool asked = set != nullptr && *set != '\0' && std::strcmp(set, "0") != 0;
  ASSERT_EQ(PlainKernelsAsked(), asked);
  const KernelChoices choices = KernelChoicesMade();
#if TARVELO_AVX2_BUILDS
  // The indirect kernels' choosers and the flags of the oscillator rows, the
  // sine row, arithmetic, pitch and sample kernels.
  EXPECT_GE(choices.made, 20);
  __builtin_cpu_init();
  if (!asked && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    EXPECT_EQ(choices.avx2, choices.made);
  }
#endif
  if (asked) {
    EXPECT_EQ(choices.avx2, 0);
  }
}

TEST(KernelChoiceTest, EveryStartUpChoiceTakesThePlainBuildsWhenAsked) {
  for (const char* value : {"1", "0", ""}) {
    std::vector<std::string> added;
    if (*value != '\0') added.push_back(std::string("TARVELO_PLAIN_KERNELS=") + value);
    EXPECT_TRUE(testing_child::RunTestInChild("KernelChoiceTest.ThisRunFollowsItsSwitch", {"TARVELO_PLAIN_KERNELS="},
                                              added))
        << "TARVELO_PLAIN_KERNELS=" << value;
  }
}

}  // namespace
}  // namespace Tarvelo
