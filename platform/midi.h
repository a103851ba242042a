// MIDI input of our Linux layer, on the ALSA sequencer.
//
// Every readable port of the sequencer (other than the system's and our own) is
// an input device, named "client name:port name". Opening a device subscribes a
// port of ours to it; one reader thread, the MIDI thread, turns what arrives
// into packed short messages (status | data1 << 8 | data2 << 16) with a time
// stamp in milliseconds since the device was started, and calls the callback
// given at opening. A device that leaves the sequencer while open gets the
// close message from that thread, and then nothing more.
//
// When the sequencer cannot be opened (no /dev/snd, headless mode with
// TARVELO_HEADLESS=1) there are simply no sequencer devices. Tests add virtual
// devices instead: the bytes pushed to them are decoded by the same reader
// thread, running status included, and delivered through the same path.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Result numbers of the operations below; the error texts give them as codes
// 39 + n.
enum MidiResult : uint32_t {
  kMidiOk = 0,
  kMidiError = 1,           // unspecified failure
  kMidiBadDeviceId = 2,     // no device with that number
  kMidiAllocated = 4,       // the device is open already
  kMidiNoMemory = 7,
  kMidiInvalidFlag = 10,
  kMidiInvalidParam = 11,   // a null pointer or handle
};

// Messages the callback receives.
enum MidiInMessage : uint32_t {
  kMidiInOpen = 961,      // from MidiInOpen, on the opening thread, before it returns
  kMidiInClose = 962,     // the device went away (MIDI thread); none follows
  kMidiInData = 963,      // param1 the short message, param2 the time stamp (MIDI thread)
  kMidiInLongData = 964,  // not sent: system-exclusive data is dropped
  kMidiInError = 965,     // not sent
};

constexpr int32_t kMidiInNameBytes = 32;  // a name holds at most 31 characters

// What a device says of itself.
// one thread: value
struct MidiInCaps {
  uint16_t ManufacturerId;
  uint16_t ProductId;
  uint32_t DriverVersion;
  char Name[kMidiInNameBytes];  // Windows-1252, zero-terminated
  uint32_t Support;
};
static_assert(sizeof(MidiInCaps) == 44);

struct MidiIn;  // an open device
using MidiInCallback = void (*)(MidiIn* handle, uint32_t message, uintptr_t instance,
                                uintptr_t param1, uintptr_t param2);

// Devices present now: the sequencer's readable ports, then the virtual ones.
// Device numbers are positions in that list and may change when devices come
// and go.
uint32_t MidiInDeviceCount();
uint32_t MidiInGetCaps(uint32_t device, MidiInCaps* caps);
// Opens a device; its messages are dropped until MidiInStart.
uint32_t MidiInOpen(MidiIn** handle, uint32_t device, MidiInCallback callback, uintptr_t instance);
uint32_t MidiInStart(MidiIn* handle);
// Closes a handle (also one whose device went away) and frees it. No callback
// for it runs once this returns, and none is made by the closing itself. Not to
// be called from inside the callback.
uint32_t MidiInClose(MidiIn* handle);
// Closes every handle, stops the MIDI thread and lets go of the sequencer.
void MidiInShutdown();

// Whether the sequencer could be opened (tried again at most every few
// seconds after a failure; never in headless mode).
bool MidiSequencerAvailable();

// ------------------------------------------------------------ virtual devices

// Adds a device at the end of the list; the result is its number for the
// calls below (never reused).
int32_t MidiFakePlug(const std::string& name, uint32_t driverVersion = 0);
// Removes it from the list; an open handle gets the close message.
void MidiFakeUnplug(int32_t fake);
// What MidiInOpen and MidiInStart of the device answer (kMidiOk by default).
void MidiFakeSetResults(int32_t fake, uint32_t openResult, uint32_t startResult);
// Raw MIDI bytes as the device would send them. False when the device is not
// plugged in.
bool MidiFakeSend(int32_t fake, const std::vector<uint8_t>& bytes);
// Waits until the MIDI thread has delivered everything sent so far; false when
// that takes longer than the timeout (seconds).
bool MidiInFlush(double timeout);
// Unplugs every virtual device and forgets them.
void MidiFakeRemoveAll();

// The short messages of one sequencer event (an ALSA snd_seq_event_t), as the
// MIDI thread makes them: several for the 14-bit and parameter-number
// controllers, none for system exclusive. At most room are written; the result
// is how many the event gives (0 without sequencer support).
int32_t MidiSequencerEventMessages(const void* event, uint32_t* out, int32_t room);
// A sequencer name (UTF-8) as a device name: Windows-1252 ('?' for what it
// lacks), at most 31 characters.
std::string MidiDeviceName(const std::string& utf8);

// The short messages a byte stream holds, as the MIDI thread decodes it:
// running status, real-time bytes anywhere, system-exclusive data skipped.
// one thread: value
struct MidiByteParser {
  uint8_t Status = 0;     // running status; 0 none
  uint8_t Data[2] = {0, 0};
  int32_t Have = 0;       // data bytes collected
  bool InSysex = false;
};
// Feeds one byte; true when it completes a message, stored in *message.
bool MidiParseByte(MidiByteParser& parser, uint8_t byte, uint32_t* message);

}  // namespace platform
