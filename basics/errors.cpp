#include "basics/errors.h"

#include "basics/messages.h"
#include "platform/files.h"

namespace QUARLE_BASICS {

namespace {

// one thread: value
struct ErrorRow {
  uint32_t message;
  const char* text;
  const char* prefix;
};

// Codes 0 to 50 in order; each text is a message of the table so packs can translate it.
const ErrorRow kGeneralRows[51] = {
    {2, "No Error", ""},
    {3, "Illegal Function Call", ""},
    {4, "File Not Found Signal", ""},
    {5, "File I/O Error: Disk Full, Restricted Access or Other", ""},
    {6, "Out Of Memory", ""},
    {7, "Illegal Resume", ""},
    {8, "Out Of Bounds Array Access", ""},
    {9, "Null Pointer Access", ""},
    {10, "No Privileges", ""},
    {11, "Interrupted Signal", ""},
    {12, "Illegal Instruction Signal", ""},
    {13, "Floating Point Error Signal", ""},
    {14, "Segmentation Violation Signal", ""},
    {15, "Termination Request Signal", ""},
    {16, "Abnormal Termination Signal", ""},
    {17, "Quit Request Signal", ""},
    {18, "Return Without Gosub", ""},
    {19, "End Of File", ""},
    {20, "Unknown error", ""},
    {21, "Incorrect Function Parameter", ""},
    {22, "File Access Failed", ""},
    {23, "Memory Allocation Failed", ""},
    {24, "Critical Memory Level", ""},
    {25, "No Free File", ""},
    {26, "File Not Found", ""},
    {27, "File is too big", ""},
    {28, "Error creating a mutex during the initialization process.", ""},
    {29, "Directory creation or access error", ""},
    {30, "Incompatible file content", ""},
    {31, "Error creating a thread.", ""},
    {36, "Initialization Failure.", "FreeType - "},
    {37, "Generic error.", "FreeType - "},
    {32, "issue with FT_Set_Pixel_Sizes.", "FreeType - "},
    {33, "issue with FT_Load_Glyph.", "FreeType - "},
    {34, "issue with FT_Render_Glyph.", "FreeType - "},
    {35, "problem loading Font.", "FreeType - "},
    {48, "Empty File.", ""},
    {49, "File size does not match header data.", ""},
    {50, "Unsupported wave format.", ""},
    {51, "NO ERROR.", ""},
    {52, "ERROR 1", "MIDI - "},
    {53, "The specified device identifier is out of range.", ""},
    {54, "ERROR 3", "MIDI - "},
    {55, "The specified resource is already allocated.", ""},
    {56, "ERROR 5", "MIDI - "},
    {57, "ERROR 6", "MIDI - "},
    {58, "The system is unable to allocate or lock memory.", ""},
    {59, "ERROR 8", "MIDI - "},
    {60, "ERROR 9", "MIDI - "},
    {61, "The flags specified by dwFlags are invalid.", ""},
    {62, "The specified pointer or structure is invalid.", ""},
};

// The audio library's error numbers 40961..40965 and 81926..81930.
const ErrorRow kAlRows[5] = {
    {38, "INVALID NAME", "AL - "},
    {39, "INVALID ENUMERATION", "AL - "},
    {40, "INVALID VALUE", "AL - "},
    {41, "INVALID OPERATION", "AL - "},
    {42, "OUT OF MEMORY", "AL - "},
};
const ErrorRow kAlcRows[5] = {
    {43, "INVALID DEVICE", "ALC - "},
    {44, "INVALID CONTEXT", "ALC - "},
    {45, "INVALID ENUMERATION", "ALC - "},
    {46, "INVALID VALUE", "ALC - "},
    {47, "OUT OF MEMORY", "ALC - "},
};
// Codes 60 and 61: what an open found instead of a file; 62 and 63: why a
// recording ended early; 64 and 65: why the disk refused a file; 66: why a
// recording was not started; 67 to 69: why the output stopped under one.
const ErrorRow kFileKindRows[10] = {
    {608, "Not a regular file (a named pipe, a device or a socket)", ""},
    {609, "A folder, not a file", ""},
    {610, "The disk is full", ""},
    {611, "The disk is too slow for the recording: it ends with what the disk holds", ""},
    {616, "The file system is read-only", ""},
    {617, "Permission denied", ""},
    {618, "The recordings before it are still being written to the disk", ""},
    {628, "The sound output stopped: the work overloaded it", ""},
    {629, "The sound output stopped: its device went away", ""},
    {630, "The sound output stopped and could not start again", ""},
};
static_assert(kErrNotRegularFile == platform::kOpenNotRegular && kErrFolderNamed == platform::kOpenFolder &&
              kErrReadOnly == platform::kOpenReadOnly && kErrNoPermission == platform::kOpenNoPermission &&
              kErrFolderNamed == kErrNotRegularFile + 1 && kErrWriterBusy == kErrNotRegularFile + 6 &&
              kErrOutputNoRestart == kErrNotRegularFile + 9);
const ErrorRow kUndefinedRow = {63, "UNDEFINED ERROR", ""};

}  // namespace

std::string ErrorText(int32_t code) {
  // Absolute value in 32 bits: -2147483648 stays itself and finds no row.
  uint32_t magnitude = code < 0 ? 0u - static_cast<uint32_t>(code) : static_cast<uint32_t>(code);
  const ErrorRow* row = &kUndefinedRow;
  if (magnitude <= 50) {
    row = &kGeneralRows[magnitude];
  } else if (magnitude >= kErrNotRegularFile && magnitude <= kErrOutputNoRestart) {
    row = &kFileKindRows[magnitude - kErrNotRegularFile];
  } else if (magnitude >= 40961 && magnitude <= 40965) {
    row = &kAlRows[magnitude - 40961];
  } else if (magnitude >= 81926 && magnitude <= 81930) {
    row = &kAlcRows[magnitude - 81926];
  }
  return std::string(row->prefix) + LangText(row->message, row->text);
}

}  // namespace QUARLE_BASICS
