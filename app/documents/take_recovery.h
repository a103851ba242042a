// WAV files whose save was cut short. A take (and any WAV file the program
// saves) is written under a work file name ("<name>.wav.part"), synced and
// then renamed: a run that ends between the sync and the rename leaves a
// whole file under a name nothing reads. The start-up looks at the folders
// such files are saved into and puts each one in place; whatever else it
// finds there under that kind of name it names in the log and leaves as it
// is, so nothing the program wrote goes unseen or is removed.
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

// 0 when the file at the system path is a whole WAV file as the writer leaves
// it: "RIFF" with a size of the file's length - 8, "WAVE", a 16-byte "fmt "
// chunk and, after the chunks before it, a "data" chunk that ends with the
// file (or one pad byte before its end, for an odd size). -37 when it is not;
// the open's error when it cannot be read.
int32_t WholeWavFile(const std::string& path);

// Looks at every WAV work file in the folder (a system path; "*.wav.part",
// "*.wav~<n>.part" and the short names of platform::ClaimWorkFile), in name
// order: a plain file that is a whole WAV file takes the name it was written
// for when nothing holds that name, and the log says so; every other one
// (incomplete, the name taken or not known, not a plain file, or a rename
// that failed) stays and the log names it. Gives how many were put in place.
int32_t RecoverCutSavesIn(const std::string& folder);

// The same for the data folder's folders a WAV file is saved into:
// AUDIO\RECORDED (the takes), AUDIO\CONVERTED (the converted samples) and
// FILTERS. The recordings of the output are written in place, not renamed.
int32_t RecoverCutSaves(const std::string& dataFolder);

}  // namespace Tarvelo
