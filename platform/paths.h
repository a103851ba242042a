// Paths of our Linux layer. Inside the system a path is a Windows-1252 text with
// '\' separators, as stored files hold them; at the operating-system boundary it
// becomes a UTF-8 path with '/'. Every function here takes and gives system paths
// unless its name says OS.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Names the code page cannot spell. A name on the disk may hold any bytes but
// '/' and NUL; inside the system it is a Windows-1252 text. The two functions
// below turn one into the other without loss, so every name a listing shows
// opens, and saves back to, the very name on the disk. FromOsPath writes,
// after the escape character kPathEscape (0xA4, the currency sign, which
// ordinary names do not hold; shown here as "$"):
//   "$$"       a currency sign of the name itself;
//   "${hex}"   a character the code page lacks, by its Unicode number in
//              upper-case hex digits ("${41C}" is the Cyrillic capital Em,
//              "${97F3}" a Japanese one), and "${5C}" for a backslash in a
//              name, which inside the system would be a separator;
//   "$[hh]"    a byte that is no part of a UTF-8 character (a name written
//              in another code page: "caf$[E9].wav"), and each byte of a
//              control character 0x80 to 0x9F the code page has no byte for
//              ("$[C2]$[85]").
// ToOsPath reads the same forms wherever the text came from (a listing, a
// synth file, the user's typing), hex digits in either case; a "$" that does
// not begin one of them, or whose number is no character of a name (NUL,
// '/', a control character below 0xA0, a surrogate, beyond Unicode; a byte
// below 0x80), is an ordinary currency sign. Every other character is the
// code page's own.
constexpr char kPathEscape = '\xA4';

// '\' -> '/', Windows-1252 -> UTF-8, the forms above -> what they stand for.
std::string ToOsPath(const std::string& systemPath);
// '/' -> '\', UTF-8 -> Windows-1252, anything else -> the forms above.
std::string FromOsPath(const std::string& osPath);
// Whether the name reaches the disk holding a control character (below 0x20,
// 0x7F to 0x9F), whichever way it was spelled: what a user names is refused.
bool HoldsControlCharacter(const std::string& systemName);

// The user's profile folder: $HOME, else the password database's home; "" when
// neither is known.
std::string ProfileFolder();
// The folder of the running executable (from /proc/self/exe), without a
// trailing separator; the override, when set, is given instead.
std::string ProgramFolder();
// Tests point the program folder elsewhere; "" restores the real one.
void SetProgramFolderOverride(const std::string& systemPath);

// From the last '.' of the last path component to the end, dot included; "" when
// the name has no '.'.
std::string PathExtension(const std::string& path);
// Whether the path's extension equals ext (".wav"), ignoring letter case.
bool ExtensionIs(const std::string& path, const std::string& ext);
// Letter-case folding of Windows-1252 texts (ASCII and the accented letters).
std::string LowerCase(const std::string& text);
std::string UpperCase(const std::string& text);

// A plain file (anything but a folder) exists at the path.
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
// Length in bytes of a file; 0 when it does not exist or is a folder.
int64_t FileLength(const std::string& path);
// name when nothing lies at folder\name and taken (when given) does not claim
// it; else the first stem + " (n)" + extension, n from 2, that is free in the
// same sense. Time-stamped names made within one second stay apart this way.
std::string FreeFileName(const std::string& folder, const std::string& name,
                         const std::function<bool(const std::string&)>& taken = nullptr);

// 0 on success. Copy, rename and delete give -24 when the source does not exist
// and -20 for any other failure; a failed copy leaves no partial destination.
// Copy and rename replace an existing destination file.
// A copy is on the disk (synced) before it takes its name. Only a regular
// file is copied: anything else (a named pipe would never end) is -20.
int32_t FileCopy(const std::string& from, const std::string& to);
int32_t FileRename(const std::string& from, const std::string& to);
int32_t FileDelete(const std::string& path);
// The last step of a save: a complete file, already synced (FileSync), is
// renamed over the target as FileRename does, and the target's folder is then
// synced, so that after a power cut the name holds the old bytes or the new,
// never an empty file. 0 only when both are done; the rename's -24 or -20;
// -3 when the name was changed but the folder's sync failed (the new bytes
// hold the name, which the disk may not keep): the save is not done. A link
// or anything else that is no regular file (or folder) at `to` is not
// replaced: -kOpenNotRegular (a save resolves its target first, SaveTargetOf).
int32_t FileReplace(const std::string& from, const std::string& to);
// The file a save to `target` writes: where a link (or a chain of them, a
// relative one read from its own folder) leads, so the link stays a link and
// the file it names gets the bytes (a dangling link's file is made); the
// target itself when it is no link. 0; -kOpenNotRegular (platform/files.h)
// when the links lead to something that is no regular file (a named pipe, a
// device, a socket) or round in a loop: a save there would put a regular file
// in the place of what was there. A folder is left to the rename to refuse.
int32_t SaveTargetOf(const std::string& target, std::string& file);
// The name a save writes its file under before it takes the target's place
// (FileReplace): in the target's folder, so the rename never crosses a disk,
// and of a form only our saves make (WorkName below), so a leftover tells
// what it was for and no file of the user's is ever taken for one. The
// target's name when the work name fits beside it on the disk; else a short
// name (a hash of the target's name and its extension), so a legal name is
// never refused for its work file. The name is claimed until
// ReleaseWorkFile: a second writer of the same target meanwhile gets the
// next claim number, so two saves of this run never share a work file.
std::string ClaimWorkFile(const std::string& target, std::string_view suffix);
void ReleaseWorkFile(const std::string& work);
// The work name of a claim number, claimed or not (ClaimWorkFile gives the
// first one free).
std::string WorkFileName(const std::string& target, std::string_view suffix, int32_t claim = 1);
// What a work file's name says. The forms, `n` its claim number (1 on):
//   "<target>~tarvelo-<n><suffix>"
//   "~tarvelo-<16 hex digits of the hash>-<n><target's extension><suffix>"
// the suffix one of kWorkSuffixes. An older version's short name
// ("~tarvelo-<16 hex>[~<n>]<suffix>") is read as well; its other names (a
// document's name and ".tmp", ".part" or ".part~") are what a user names
// files too and are no longer read.
constexpr std::string_view kWorkMark = "~tarvelo-";
constexpr std::string_view kWorkSuffixes[] = {".tmp", ".part", ".part~"};
struct WorkName {  // one thread: value
  std::string target;     // the file's name it was written for; "" for a short name
  std::string hash;       // a short name's (16 hex digits)
  std::string extension;  // the target's (a short name's, when it kept one)
  std::string suffix;
  int32_t claim = 1;
};
bool ReadWorkName(const std::string& name, WorkName& work);
// Whether a name in a folder is a save's work file: one claimed now, or of
// a form ReadWorkName reads, so that no listing offers one to the user.
bool IsWorkFile(const std::string& folder, const std::string& name);
// A save's work file held while it is written: an advisory lock on the open
// file (flock) that every program of ours takes, so a second start's sweep
// leaves a work file another running program writes alone; age tells
// nothing (a slow disk takes minutes over one file). OpenWorkFile makes or
// empties the work file of a save to `target` (ClaimWorkFile's name, `work`
// set) and holds it for as long as its open file lives (a dup of the
// descriptor too): a name another program holds is passed over for the next
// claim number. The descriptor, or -errno with nothing claimed.
int OpenWorkFile(const std::string& target, std::string_view suffix, std::string& work);
// The sweep's hold of a leftover work file at `path`: a descriptor holding it
// as above, while no save of any program of ours holds it, it is a regular
// file and the path still names it; -1 otherwise (leave it alone). Removed
// or renamed while held, it is let go by closing the descriptor.
int HoldLeftWorkFile(const std::string& path);

// Asks the disk to keep the folder's names (a file made, renamed or removed
// in it): 0, or -20 when it cannot.
int32_t FolderSync(const std::string& folder);
// True when the folder exists afterwards (made now or before).
bool MakeFolder(const std::string& path);
// Changes the process's current folder; false when it cannot be entered.
bool ChangeFolder(const std::string& path);
// The process's current folder; "" when it cannot be read.
std::string CurrentFolder();

// A text the user typed or pasted (UTF-8) as a system text: each character
// the code page has as itself (a typed currency sign too, so forms typed by
// hand still work), each other one, and each byte that is no part of a
// UTF-8 character, in its form above (FromOsPath's), so a name typed in any
// script is on the disk what was typed. Controls (C0, DEL, C1) are left out,
// but for the code page's five unassigned bytes, which travel as C1 controls.
std::string TypedText(const std::string& utf8);
// A system text as other programs take it (the clipboard): UTF-8 with each
// form above as the character it stands for, as ToOsPath gives a name's; but
// '\' stays itself, and a byte form, which names no character, stays written
// out. TypedText reads what it gives back to the same forms.
std::string OutgoingText(const std::string& systemText);
// Where each character of a system text begins, a form above counted as one
// character (an editor steps over it whole, a cut never splits it), read from
// the start as ToOsPath reads; the text's length last.
std::vector<size_t> CharacterStarts(const std::string& text);
// The length of the longest head of the text that ends between two characters
// and holds at most `bytes` bytes: where a field of that size cuts it.
size_t WholeCharactersWithin(const std::string& text, size_t bytes);

}  // namespace platform
