#include "engine/dsp/stereo.h"

#include "engine/dsp/contract.h"

namespace Tarvelo {

namespace {

// Merge Stereo: slot 0 halves the sum; slot 1 scales it by 1 / sqrt 2, in
// double precision, so the two modes differ in level by sqrt 2.
inline float MergeHalf(float l, float r) { return (l + r) * 0.5f; }
inline float MergeRootHalf(float l, float r) {
  return static_cast<float>(static_cast<double>(l + r) * 0.7071067811865476);
}

template <typename Merge>
inline void MergeVoices(ModuleRecord* m, int32_t voices, Merge merge) {
  const PortCursor left = OpenScaled(*m, kStereoInput, 0);
  const PortCursor right = OpenScaled(*m, kStereoInput, 1);
  for (int32_t v = 0; v < voices; ++v) {
    const float y = merge(left(v), right(v));
    m->Outputs[0][v] = OutputElement{y, y};
  }
}

// Both ports are read at channel 0: a two-channel source gives its left side.
inline void JoinVoices(ModuleRecord* m, int32_t voices) {
  const PortCursor left = OpenScaled(*m, kJoinLeft, 0);
  const PortCursor right = OpenScaled(*m, kJoinRight, 0);
  for (int32_t v = 0; v < voices; ++v) {
    const float l = left(v);
    const float r = right(v);
    m->Outputs[0][v] = OutputElement{l, l};
    m->Outputs[1][v] = OutputElement{r, r};
  }
}

// The position is the first element of the Position port's source, read as
// it stands; it is not limited, so beyond +-1 one side turns over.
inline void BalanceVoices(ModuleRecord* m, int32_t voices) {
  const float pos = m->PortSources[kBalancePosition].LoadSettled()->Outputs[0][0].Level;
  float gl = 1.0f;
  float gr = 1.0f;
  if (pos >= 0.0f)
    gl = 1.0f - pos;
  else
    gr = 1.0f + pos;
  const PortCursor left = OpenScaled(*m, kStereoInput, 0);
  const PortCursor right = OpenScaled(*m, kStereoInput, 1);
  for (int32_t v = 0; v < voices; ++v) {
    const float l = left(v) * gl;
    const float r = right(v) * gr;
    m->Outputs[0][v] = OutputElement{l, l};
    m->Outputs[1][v] = OutputElement{r, r};
  }
}

}  // namespace

void ProcessMergeStereoMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  MergeVoices(m, 1, MergeHalf);
  // The plane's frame watch and the pages read the count meanwhile.
  m->ChannelsProcessed.Store(1);
}

void ProcessMergeStereoPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  MergeVoices(m, voices, MergeRootHalf);
  m->ActiveVoices.Store(voices);
  m->ChannelsProcessed.Store(1);
}

void ProcessJoinStereoMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { JoinVoices(m, 1); }

void ProcessJoinStereoPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  JoinVoices(m, voices);
  m->ActiveVoices.Store(voices);
}

void ProcessBalanceMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { BalanceVoices(m, 1); }

void ProcessBalancePoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  BalanceVoices(m, voices);
  m->ActiveVoices.Store(voices);
}

}  // namespace Tarvelo
