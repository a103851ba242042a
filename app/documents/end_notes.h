// The notes an end leaves in the data folder for the next start, a name a
// line: the saves it could not finish and the takes the disk did not confirm.
// One reader and one writer of both. Neither runs on the window's thread: a
// disk that holds the notes would hold it (the start's thread reads them and
// posts what it found; the end's note thread writes them).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace Tarvelo {

constexpr const char* kUnfinishedSavesNote = "SAVES_UNFINISHED.TXT";
constexpr const char* kUnconfirmedNoteName = "RECORDINGS_UNCONFIRMED.TXT";
// No end names more: a longer note is read no further.
constexpr size_t kEndNoteNames = 256;

// What the last end's notes hold, each name once in the order written.
// `unreadable` names the notes (their file names) that hold what no end
// writes: nothing at all, zeros (a power cut left the unsynced note so), a
// name longer than a file name, or a last name cut short. Their readable
// names are kept beside.
struct LastEndNotes {  // one thread: value
  std::vector<std::string> saves;       // files not saved
  std::vector<std::string> takes;       // recordings not confirmed
  std::vector<std::string> unreadable;  // notes not read whole
};

// Reads both notes of the data folder (a system path). Anything but a plain
// file under a note's name is no note: it is passed over.
LastEndNotes ReadEndNotes(const std::string& dataFolder);

// Replaces the note at `path` (a system path) with the names, each once: a
// new file renamed over it, so an end cut short leaves the old note or the
// new; no names: the note is removed. Not synced: the disk that held the
// saves would hold a sync as long. False when it could not be written.
bool WriteEndNote(const std::string& path, const std::vector<std::string>& names);

// Each name once, in the order first named; empty names dropped.
std::vector<std::string> NamesOnce(const std::vector<std::string>& names);
// Whether a note holding `held` must be written again to hold `now`: only
// when its names (each once) change, so an end with nothing new leaves a
// note its disk may still be writing back alone.
bool EndNoteChanged(const std::vector<std::string>& held, const std::vector<std::string>& now);

}  // namespace Tarvelo
