// Draw callbacks of the system bar's status read-outs (free memory, audio
// workload, audio loop rate, video frame rate, interface loop rate), the audio
// input and output power switches and the two level meters.
//
// The read-outs show their value as their fill colour (the memory read-out also
// as its text) and put the number into their tooltip, so that the live guide
// shows it while the pointer rests on them. The memory query and the workload
// and audio-loop read-outs are rate-limited (1 s, 0.33 s, 0.33 s).
#pragma once
#include <cstdint>

#include "visuals/controls.h"

namespace Tarvelo {

using QUARLE_VISUALS::RenderRecord;

// What the read-outs show (video thread only).
// one thread: video, the read-outs' draws and their per-frame news
extern int64_t FreeMemoryMB;
extern float FreeMemoryValue;
extern double MemoryRefreshTime, WorkloadRefreshTime, AudioLoopRefreshTime;
extern float WorkloadPercent;
extern int32_t AudioLoopValue, VideoRateValue;
extern uint32_t ControlLoopValue;

// The read-outs' seconds clock and the memory query (bytes available); tests
// replace them, null restores the defaults (a monotonic clock, the system's
// available memory).
void SetReadoutClock(double (*clock)());
void SetAvailableMemorySource(int64_t (*source)());
// Every refresh time and shown value back to 0.
void ResetReadouts();

// Whether a rate-limited read-out's refresh is due (FRE 1 s, WLOAD and ALOAD
// 0.33 s).
bool MemoryReadoutDue();
bool WorkloadReadoutDue();
bool AudioLoopReadoutDue();
// Whether a read-out's refresh would change what it shows (asked every frame;
// FRE's query is the refresh itself, so it says only that one is due).
bool WorkloadReadoutNews();
bool AudioLoopReadoutNews();
bool VideoRateReadoutNews();
bool ControlLoopReadoutNews();
// Registers the read-outs as live drawings: every frame each is redrawn when
// its refresh would change it, so it always shows its current value.
void AddReadoutLiveDrawings();

// Fill colours by value.
uint32_t MemoryColour(int64_t freeMB);
uint32_t WorkloadColour(float percent);
uint32_t AudioLoopColour(int32_t passes, uint32_t streamRate);
uint32_t VideoRateColour(int32_t fps, int32_t target);
uint32_t ControlLoopColour(uint32_t passes);

// (snapshot, control id) -> 0.
int32_t DrawMemoryReadout(RenderRecord* snap, int32_t id);       // FRE
int32_t DrawWorkloadReadout(RenderRecord* snap, int32_t id);     // WLOAD
int32_t DrawAudioLoopReadout(RenderRecord* snap, int32_t id);    // ALOAD
int32_t DrawVideoRateReadout(RenderRecord* snap, int32_t id);    // VLOAD
int32_t DrawControlLoopReadout(RenderRecord* snap, int32_t id);  // CLOAD
int32_t DrawInputPowerSwitch(RenderRecord* snap, int32_t id);    // MicMP
int32_t DrawOutputPowerSwitch(RenderRecord* snap, int32_t id);   // PlayMP
int32_t DrawInputMeter(RenderRecord* snap, int32_t id);          // MicM
int32_t DrawOutputMeter(RenderRecord* snap, int32_t id);         // PlayM

// Whether a meter's picture may change in this frame: its levels or its gain
// differ from those its last frame was drawn with. Video thread only.
bool InputMeterNews();
bool OutputMeterNews();

}  // namespace Tarvelo
