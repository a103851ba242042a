// The recordings' writer thread (tarvelo-rec): it takes the takes and their
// sound off the ring in order, names, creates and writes each take's file,
// asks its sync thread for a round whenever the last one finished, names in
// a header only data a finished sync kept, and ends each take (data kept,
// closing header, kept, closed). It writes no further than kBacklogSeconds
// of sound ahead of what the disk confirmed: a disk slower than the sound
// then leaves the sound in the ring, which the audio thread finds full and
// ends the take "too slow", and what the end must wait for stays bounded.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/recording_sync.h"

namespace QUARLE_AUDIO::rec {

// Long enough for a busy disk and syncs held 15 s to pass, with slack.
constexpr double kBacklogSeconds = 20.0;

void SetWriterRate(uint32_t rate);
uint32_t WriterRate();

// What the end's wait reads: the data bytes this writer wrote that the disk
// has not confirmed yet (of takes still open), and the takes still open.
uint64_t BacklogBytes();
int32_t OpenTakes();

// The writer's course, set by its life (recording.cpp): a new writer's
// flags, the end's ask to write all and end, to write no more (the disk took
// nothing for long, or the wait was cut short), and whether it ended.
void ResetWriter();
void AskStop();
void AskGiveUp();
bool WriterDone();
bool GivenUp();

void WriterThread(std::shared_ptr<SyncLine> line);

// The end's wait cut short while the writer is held in a write: every take it
// has not closed gets a header naming what its file holds, written here on
// descriptors of this thread's own, and is said as in a give-up.
void CloseTakesOfAHeldWriter();

// What the end says of takes it could not confirm whole: the file's name and
// the line (level 2); kept by the end (recording.cpp) and said once it ends.
void NoteTakeNotWhole(const std::string& name, const std::string& line);

}  // namespace QUARLE_AUDIO::rec
