// WAV files whose save was cut short. A take (and any WAV file the program
// saves) is written under a work file name ("<name>.wav~tarvelo-1.part",
// platform::ClaimWorkFile), synced and
// then renamed: a run that ends between the sync and the rename leaves a
// whole file under a name nothing reads. The start-up looks at the folders
// such files are saved into and puts each one in place; whatever else it
// finds there under that kind of name it names in the log and leaves as it
// is, so nothing the program wrote goes unseen or is removed.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace Tarvelo {

// 0 when the file at the system path is a whole WAV file as the writer leaves
// it: "RIFF" with a size of the file's length - 8, "WAVE", a 16-byte "fmt "
// chunk and, after the chunks before it, a "data" chunk that ends with the
// file (or one pad byte before its end, for an odd size). -37 when it is not;
// the open's error when it cannot be read.
int32_t WholeWavFile(const std::string& path);

// Looks at every WAV work file in the folder (a system path; the ".part"
// names platform::ReadWorkName reads, for a WAV file), in name order: a plain file that is a whole WAV file takes the name it was written
// for when nothing holds that name, and the log says so; every other one
// (incomplete, the name taken or not known, not a plain file, or a rename
// that failed) stays and the log names it. A work file a running save holds
// (of this run or another program of ours: platform::HoldLeftWorkFile) is
// its own and is passed over. Gives
// how many were put in place.
int32_t RecoverCutSavesIn(const std::string& folder);

// Every take of the folder (the recordings' AUDIO folder, a system path)
// whose header names fewer whole frames than its data chunk, the file's last,
// holds (an end cut short before the header caught up) is put right: its
// sizes name every whole frame (a part frame at its end is cut), synced, and
// the log names it with the seconds it now names. A take is a file in the
// recordings' writer's layout (16-bit PCM; fmt, fact, a text, PEAK and data
// in that order) whose bytes after the named data are no chunks, or one of
// that layout the last end named (`named`, file names); every other file is
// another program's, whatever follows its data, and is left byte for byte.
// Gives how many were put right; one that cannot be is named with the
// reason and left as it is. A whole run of zero pages at the end past the
// named data is what a failing disk left (the writer's pages never written),
// not sound: it is cut off and said. With `changedBefore` (nanoseconds of
// the system clock), only files last written before it are looked at: the
// takes of the run that started then are its writer's.
int32_t RepairTakeHeaders(const std::string& folder, const std::vector<std::string>& named = {},
                          int64_t changedBefore = 0);

// The same for the data folder's folders a WAV file is saved into:
// AUDIO\RECORDED (the takes), AUDIO\CONVERTED (the converted samples) and
// FILTERS. The recordings of the output are written in place, not renamed.
int32_t RecoverCutSaves(const std::string& dataFolder);

}  // namespace Tarvelo
