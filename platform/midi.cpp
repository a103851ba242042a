#include "platform/midi.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#if __has_include(<alsa/asoundlib.h>)
#include <alsa/asoundlib.h>
#define TARVELO_HAVE_ALSA 1
#else
#define TARVELO_HAVE_ALSA 0
#endif

#include "platform/charset.h"
#include "platform/threads.h"

namespace platform {

enum SourceKind : int32_t { kSourceSequencer = 0, kSourceFake = 1 };

// one thread: holder of g_lock
struct MidiIn {
  MidiInCallback callback = nullptr;
  uintptr_t instance = 0;
  int32_t kind = kSourceFake;
  int32_t client = -1;   // the device's sequencer address
  int32_t port = -1;
  int32_t ownPort = -1;  // our port subscribed to it
  int32_t fake = -1;
  bool started = false;
  double startTime = 0.0;
  bool gone = false;          // the device left; the close message is due or sent
  bool closePending = false;  // the close message still has to be delivered
  bool closeSent = false;
  std::vector<uint8_t> pending;  // bytes of a virtual device not yet decoded
  MidiByteParser parser;
};

namespace {

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

uint32_t Milliseconds(double since) {
  const double ms = std::floor((Now() - since) * 1000.0);
  if (!(ms > 0.0)) return 0;
  return static_cast<uint32_t>(std::fmod(ms, 4294967296.0));
}

bool Headless() {
  const char* h = std::getenv("TARVELO_HEADLESS");
  return h != nullptr && std::strcmp(h, "1") == 0;
}

// one thread: value
struct FakeDevice {
  std::string name;
  uint32_t version = 0;
  bool present = true;
  uint32_t openResult = kMidiOk;
  uint32_t startResult = kMidiOk;
};

// A device of the current list.
// one thread: value
struct DeviceEntry {
  int32_t kind;
  int32_t client;
  int32_t port;
  int32_t fake;
  std::string name;
  uint32_t version;
};

// One message for the callback, gathered by the MIDI thread.
// one thread: value
struct Delivery {
  MidiIn* handle;
  uint32_t message;
  uint32_t param1;
  uint32_t param2;
};

// g_lock guards the handles, the virtual devices and the thread's flags. The
// sequencer handle has its own lock, taken before g_lock when both are needed.
// The MIDI thread holds g_deliver around each callback, so closing a handle can
// wait until no callback of it is running.
std::mutex g_lock;
std::condition_variable g_flushed;
// one thread: holder of g_lock
std::vector<MidiIn*> g_handles;
std::vector<FakeDevice> g_fakes;
uint64_t g_sent = 0;  // batches of bytes or unplug notices handed to the thread
uint64_t g_done = 0;  // of those, delivered
bool g_stop = false;
bool g_running = false;
std::thread g_reader;
std::thread::id g_readerId;
int g_wake[2] = {-1, -1};
std::mutex g_deliver;

bool Listed(const MidiIn* h) { return std::find(g_handles.begin(), g_handles.end(), h) != g_handles.end(); }

void Wake() {
  if (g_wake[1] < 0) return;
  const char c = 'w';
  ssize_t r = write(g_wake[1], &c, 1);
  (void)r;  // a full pipe already wakes the thread
}

std::string Cp1252Name(const std::string& utf8) {
  std::string out;
  std::size_t i = 0;
  while (i < utf8.size() && out.size() < static_cast<std::size_t>(kMidiInNameBytes - 1)) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = c;
    int extra = 0;
    if (c >= 0xF0) { cp = c & 0x07; extra = 3; }
    else if (c >= 0xE0) { cp = c & 0x0F; extra = 2; }
    else if (c >= 0xC0) { cp = c & 0x1F; extra = 1; }
    else if (c >= 0x80) { cp = '?'; }
    ++i;
    for (int k = 0; k < extra; ++k) {
      if (i >= utf8.size() || (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) { cp = '?'; break; }
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
      ++i;
    }
    const int32_t b = cp < 0x80 ? static_cast<int32_t>(cp) : UnicodeToCp1252(cp);
    out.push_back(b > 0 ? static_cast<char>(b) : '?');
  }
  return out;
}

// ---------------------------------------------------------------- sequencer

std::mutex g_seqLock;  // every call on the sequencer handle
#if TARVELO_HAVE_ALSA
// one thread: holder of g_seqLock
snd_seq_t* g_seq = nullptr;
int g_ownClient = -1;
int g_announcePort = -1;
double g_lastTry = 0.0;
bool g_tried = false;

void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

// Under g_seqLock.
bool EnsureSequencer() {
  if (g_seq != nullptr) return true;
  if (Headless()) return false;
  // Without a sequencer every tick would try again; a few seconds apart is
  // enough to notice one that appears later.
  if (g_tried && Now() - g_lastTry < 5.0) return false;
  g_tried = true;
  g_lastTry = Now();
  snd_lib_error_set_handler(&SilentAlsaError);
  snd_seq_t* seq = nullptr;
  const int r = snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK);
  snd_lib_error_set_handler(nullptr);
  if (r < 0 || seq == nullptr) return false;
  snd_seq_set_client_name(seq, "Tarvelo");
  g_ownClient = snd_seq_client_id(seq);
  // Ports leaving the sequencer are announced here.
  g_announcePort = snd_seq_create_simple_port(seq, "Tarvelo announcements",
                                              SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                              SND_SEQ_PORT_TYPE_APPLICATION);
  if (g_announcePort >= 0)
    snd_seq_connect_from(seq, g_announcePort, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
  g_seq = seq;
  // A MIDI thread already waiting is to watch the new sequencer too.
  Wake();
  return true;
}

void CloseSequencer() {
  if (g_seq != nullptr) snd_seq_close(g_seq);
  g_seq = nullptr;
  g_ownClient = -1;
  g_announcePort = -1;
  g_tried = false;
}

void ListSequencerPorts(std::vector<DeviceEntry>& out) {
  std::lock_guard<std::mutex> seqHold(g_seqLock);
  if (!EnsureSequencer()) return;
  snd_seq_client_info_t* ci = nullptr;
  snd_seq_port_info_t* pi = nullptr;
  snd_seq_client_info_alloca(&ci);
  snd_seq_port_info_alloca(&pi);
  snd_seq_client_info_set_client(ci, -1);
  const unsigned readable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
  while (snd_seq_query_next_client(g_seq, ci) >= 0) {
    const int c = snd_seq_client_info_get_client(ci);
    if (c == SND_SEQ_CLIENT_SYSTEM || c == g_ownClient) continue;
    snd_seq_port_info_set_client(pi, c);
    snd_seq_port_info_set_port(pi, -1);
    while (snd_seq_query_next_port(g_seq, pi) >= 0) {
      const unsigned caps = snd_seq_port_info_get_capability(pi);
      if ((caps & readable) != readable || (caps & SND_SEQ_PORT_CAP_NO_EXPORT) != 0) continue;
      const char* cn = snd_seq_client_info_get_name(ci);
      const char* pn = snd_seq_port_info_get_name(pi);
      std::string name = std::string(cn ? cn : "") + ":" + (pn ? pn : "");
      out.push_back({kSourceSequencer, c, snd_seq_port_info_get_port(pi), -1, Cp1252Name(name), 0});
    }
  }
}

uint32_t Pack(uint32_t status, uint32_t d1, uint32_t d2) {
  return (status & 0xFF) | ((d1 & 0x7F) << 8) | ((d2 & 0x7F) << 16);
}

// The short messages of one sequencer event (several for the 14-bit and
// parameter-number controllers, which the sequencer merges).
void ConvertEvent(const snd_seq_event_t* ev, std::vector<uint32_t>& out) {
  const uint32_t ch = ev->data.note.channel & 0x0F;
  const uint32_t cch = ev->data.control.channel & 0x0F;
  const uint32_t param = ev->data.control.param;
  const int32_t value = ev->data.control.value;
  switch (ev->type) {
    case SND_SEQ_EVENT_NOTEON: out.push_back(Pack(0x90 | ch, ev->data.note.note, ev->data.note.velocity)); break;
    case SND_SEQ_EVENT_NOTEOFF: out.push_back(Pack(0x80 | ch, ev->data.note.note, ev->data.note.velocity)); break;
    case SND_SEQ_EVENT_KEYPRESS: out.push_back(Pack(0xA0 | ch, ev->data.note.note, ev->data.note.velocity)); break;
    case SND_SEQ_EVENT_CONTROLLER: out.push_back(Pack(0xB0 | cch, param, static_cast<uint32_t>(value))); break;
    case SND_SEQ_EVENT_PGMCHANGE: out.push_back(Pack(0xC0 | cch, static_cast<uint32_t>(value), 0)); break;
    case SND_SEQ_EVENT_CHANPRESS: out.push_back(Pack(0xD0 | cch, static_cast<uint32_t>(value), 0)); break;
    case SND_SEQ_EVENT_PITCHBEND: {
      const uint32_t v = static_cast<uint32_t>(std::clamp(value + 8192, 0, 16383));
      out.push_back(Pack(0xE0 | cch, v & 0x7F, v >> 7));
      break;
    }
    case SND_SEQ_EVENT_CONTROL14: {
      const uint32_t v = static_cast<uint32_t>(std::clamp(value, 0, 16383));
      if (param < 32) {
        out.push_back(Pack(0xB0 | cch, param, v >> 7));
        out.push_back(Pack(0xB0 | cch, param + 32, v & 0x7F));
      } else {
        out.push_back(Pack(0xB0 | cch, param, v & 0x7F));
      }
      break;
    }
    case SND_SEQ_EVENT_NONREGPARAM:
    case SND_SEQ_EVENT_REGPARAM: {
      const bool nrpn = ev->type == SND_SEQ_EVENT_NONREGPARAM;
      const uint32_t v = static_cast<uint32_t>(std::clamp(value, 0, 16383));
      out.push_back(Pack(0xB0 | cch, nrpn ? 99 : 101, (param >> 7) & 0x7F));
      out.push_back(Pack(0xB0 | cch, nrpn ? 98 : 100, param & 0x7F));
      out.push_back(Pack(0xB0 | cch, 6, v >> 7));
      out.push_back(Pack(0xB0 | cch, 38, v & 0x7F));
      break;
    }
    case SND_SEQ_EVENT_SONGPOS: {
      const uint32_t v = static_cast<uint32_t>(std::clamp(value, 0, 16383));
      out.push_back(Pack(0xF2, v & 0x7F, v >> 7));
      break;
    }
    case SND_SEQ_EVENT_SONGSEL: out.push_back(Pack(0xF3, static_cast<uint32_t>(value), 0)); break;
    case SND_SEQ_EVENT_QFRAME: out.push_back(Pack(0xF1, static_cast<uint32_t>(value), 0)); break;
    case SND_SEQ_EVENT_TUNE_REQUEST: out.push_back(0xF6); break;
    case SND_SEQ_EVENT_CLOCK: out.push_back(0xF8); break;
    case SND_SEQ_EVENT_START: out.push_back(0xFA); break;
    case SND_SEQ_EVENT_CONTINUE: out.push_back(0xFB); break;
    case SND_SEQ_EVENT_STOP: out.push_back(0xFC); break;
    case SND_SEQ_EVENT_SENSING: out.push_back(0xFE); break;
    case SND_SEQ_EVENT_RESET: out.push_back(0xFF); break;
    default: break;  // system exclusive and sequencer bookkeeping
  }
}

// Under g_lock: a sequencer address (port -1: the whole client) left, or our
// subscription to it was removed.
void MarkGone(int client, int port, int ownPort) {
  for (MidiIn* h : g_handles) {
    if (h->kind != kSourceSequencer || h->gone || h->client != client) continue;
    if (port >= 0 && h->port != port) continue;
    if (ownPort >= 0 && h->ownPort != ownPort) continue;
    h->gone = true;
    h->closePending = true;
  }
}

// MIDI thread: everything the sequencer has for us now.
void ReadSequencer(std::vector<Delivery>& out) {
  std::lock_guard<std::mutex> seqHold(g_seqLock);
  if (g_seq == nullptr) return;
  std::vector<uint32_t> messages;
  for (;;) {
    snd_seq_event_t* ev = nullptr;
    const int r = snd_seq_event_input(g_seq, &ev);
    if (r == -ENOSPC) continue;  // input overran: what was lost is lost
    if (r < 0 || ev == nullptr) break;
    std::lock_guard<std::mutex> hold(g_lock);
    if (ev->dest.port == g_announcePort) {
      if (ev->type == SND_SEQ_EVENT_PORT_EXIT) MarkGone(ev->data.addr.client, ev->data.addr.port, -1);
      if (ev->type == SND_SEQ_EVENT_CLIENT_EXIT) MarkGone(ev->data.addr.client, -1, -1);
      if (ev->type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED && ev->data.connect.dest.client == g_ownClient)
        MarkGone(ev->data.connect.sender.client, ev->data.connect.sender.port, ev->data.connect.dest.port);
      continue;
    }
    for (MidiIn* h : g_handles) {
      if (h->kind != kSourceSequencer || h->ownPort != ev->dest.port) continue;
      if (!h->started || h->gone || ev->source.client != h->client || ev->source.port != h->port) break;
      messages.clear();
      ConvertEvent(ev, messages);
      const uint32_t stamp = Milliseconds(h->startTime);
      for (uint32_t m : messages) out.push_back({h, kMidiInData, m, stamp});
      break;
    }
  }
}

int SequencerPollFds(pollfd* fds, int room) {
  std::lock_guard<std::mutex> seqHold(g_seqLock);
  if (g_seq == nullptr || room <= 0) return 0;
  const int count = snd_seq_poll_descriptors_count(g_seq, POLLIN);
  return snd_seq_poll_descriptors(g_seq, fds, static_cast<unsigned>(std::min(count, room)), POLLIN);
}

// Under g_seqLock: our port for a device, subscribed to it; -1 on failure.
int SubscribePort(int client, int port) {
  if (g_seq == nullptr) return -1;
  const int own = snd_seq_create_simple_port(g_seq, "Tarvelo MIDI in",
                                             SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                             SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  if (own < 0) return -1;
  if (snd_seq_connect_from(g_seq, own, client, port) < 0) {
    snd_seq_delete_simple_port(g_seq, own);
    return -1;
  }
  return own;
}

void ReleasePort(int own) {
  std::lock_guard<std::mutex> seqHold(g_seqLock);
  if (g_seq != nullptr && own >= 0) snd_seq_delete_simple_port(g_seq, own);
}
#else
void ListSequencerPorts(std::vector<DeviceEntry>&) {}
void ReadSequencer(std::vector<Delivery>&) {}
int SequencerPollFds(pollfd*, int) { return 0; }
void ReleasePort(int) {}
#endif

std::vector<DeviceEntry> ListDevices() {
  std::vector<DeviceEntry> out;
  ListSequencerPorts(out);
  std::lock_guard<std::mutex> hold(g_lock);
  for (std::size_t i = 0; i < g_fakes.size(); ++i) {
    const FakeDevice& f = g_fakes[i];
    if (f.present) out.push_back({kSourceFake, -1, -1, static_cast<int32_t>(i), f.name, f.version});
  }
  return out;
}

// ---------------------------------------------------------------- the MIDI thread

// Under g_lock: decoded bytes of the virtual devices and the close messages due.
void CollectPending(std::vector<Delivery>& out) {
  for (MidiIn* h : g_handles) {
    if (h->kind == kSourceFake && !h->pending.empty()) {
      // Every byte here was sent while the device was still plugged in.
      const bool deliver = h->started;
      const uint32_t stamp = deliver ? Milliseconds(h->startTime) : 0;
      for (uint8_t b : h->pending) {
        uint32_t m = 0;
        if (MidiParseByte(h->parser, b, &m) && deliver) out.push_back({h, kMidiInData, m, stamp});
      }
      h->pending.clear();
    }
    if (h->closePending) {
      h->closePending = false;
      out.push_back({h, kMidiInClose, 0, 0});
    }
  }
}

void Deliver(const Delivery& d) {
  std::lock_guard<std::mutex> busy(g_deliver);
  MidiInCallback callback = nullptr;
  uintptr_t instance = 0;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    MidiIn* h = d.handle;
    if (!Listed(h) || h->closeSent) return;
    if (d.message == kMidiInClose) h->closeSent = true;
    callback = h->callback;
    instance = h->instance;
  }
  if (callback != nullptr) callback(d.handle, d.message, instance, d.param1, d.param2);
}

// The MIDI thread sleeps until the sequencer has input for it or it is woken
// (bytes of a virtual device, a close, the stop, a sequencer opened meanwhile,
// whose descriptors the next wait then watches).
void WaitForMidiInput(pollfd* fds, int count) { poll(fds, static_cast<nfds_t>(count), -1); }

void ReaderLoop() {
  platform::ThreadSetName("tarvelo-midi");
  std::vector<Delivery> batch;
  for (;;) {
    pollfd fds[9];
    fds[0] = {g_wake[0], POLLIN, 0};
    const int n = 1 + SequencerPollFds(fds + 1, 8);
    WaitForMidiInput(fds, n);
    char sink[64];
    while (read(g_wake[0], sink, sizeof sink) > 0) {
    }
    batch.clear();
    ReadSequencer(batch);
    uint64_t mark = 0;
    {
      std::lock_guard<std::mutex> hold(g_lock);
      if (g_stop) return;
      mark = g_sent;
      CollectPending(batch);
    }
    for (const Delivery& d : batch) Deliver(d);
    {
      std::lock_guard<std::mutex> hold(g_lock);
      if (mark > g_done) g_done = mark;
    }
    g_flushed.notify_all();
  }
}

// Under g_lock.
uint32_t EnsureReader() {
  if (g_running) return kMidiOk;
  if (g_wake[0] < 0) {
    if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
      g_wake[0] = g_wake[1] = -1;
      return kMidiNoMemory;
    }
  }
  g_stop = false;
  try {
    g_reader = std::thread(ReaderLoop);
  } catch (...) {
    return kMidiNoMemory;
  }
  g_readerId = g_reader.get_id();
  g_running = true;
  return kMidiOk;
}

}  // namespace

// ---------------------------------------------------------------- parsing

namespace {
int32_t DataBytes(uint8_t status) {
  switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
      return 1;
    case 0xF0:
      return status == 0xF2 ? 2 : (status == 0xF1 || status == 0xF3) ? 1 : 0;
    default:
      return 2;
  }
}
}  // namespace

bool MidiParseByte(MidiByteParser& p, uint8_t b, uint32_t* message) {
  if (b >= 0xF8) {  // real time: may come between any two bytes
    *message = b;
    return true;
  }
  if (b == 0xF0) {
    p.InSysex = true;
    p.Status = 0;
    p.Have = 0;
    return false;
  }
  if (b == 0xF7) {  // end of exclusive, a system common byte: no running status after it
    p.InSysex = false;
    p.Status = 0;
    p.Have = 0;
    return false;
  }
  if ((b & 0x80) != 0) {
    p.InSysex = false;
    p.Have = 0;
    p.Status = b;
    if (DataBytes(b) == 0) {
      // Tune request stands alone; the undefined F4 and F5 carry nothing.
      p.Status = 0;
      if (b == 0xF6) {
        *message = b;
        return true;
      }
    }
    return false;
  }
  if (p.InSysex || p.Status == 0) return false;  // stray data byte
  p.Data[p.Have++] = b;
  const int32_t need = DataBytes(p.Status);
  if (p.Have < need) return false;
  *message = static_cast<uint32_t>(p.Status) | (static_cast<uint32_t>(p.Data[0]) << 8) |
             (need == 2 ? static_cast<uint32_t>(p.Data[1]) << 16 : 0u);
  p.Have = 0;
  if (p.Status >= 0xF0) p.Status = 0;  // system common messages end running status
  return true;
}

// ---------------------------------------------------------------- operations

int32_t MidiSequencerEventMessages(const void* event, uint32_t* out, int32_t room) {
#if TARVELO_HAVE_ALSA
  if (event == nullptr) return 0;
  std::vector<uint32_t> messages;
  ConvertEvent(static_cast<const snd_seq_event_t*>(event), messages);
  for (int32_t i = 0; i < room && i < static_cast<int32_t>(messages.size()); ++i) out[i] = messages[i];
  return static_cast<int32_t>(messages.size());
#else
  (void)event;
  (void)out;
  (void)room;
  return 0;
#endif
}

std::string MidiDeviceName(const std::string& utf8) { return Cp1252Name(utf8); }

uint32_t MidiInDeviceCount() { return static_cast<uint32_t>(ListDevices().size()); }

uint32_t MidiInGetCaps(uint32_t device, MidiInCaps* caps) {
  if (caps == nullptr) return kMidiInvalidParam;
  const std::vector<DeviceEntry> list = ListDevices();
  if (device >= list.size()) return kMidiBadDeviceId;
  const DeviceEntry& e = list[device];
  std::memset(caps, 0, sizeof *caps);
  caps->DriverVersion = e.version;
  std::memcpy(caps->Name, e.name.data(), std::min<std::size_t>(e.name.size(), kMidiInNameBytes - 1));
  return kMidiOk;
}

uint32_t MidiInOpen(MidiIn** handle, uint32_t device, MidiInCallback callback, uintptr_t instance) {
  if (handle == nullptr || callback == nullptr) return kMidiInvalidParam;
  *handle = nullptr;
  const std::vector<DeviceEntry> list = ListDevices();
  if (device >= list.size()) return kMidiBadDeviceId;
  const DeviceEntry& e = list[device];
  MidiIn* h = new (std::nothrow) MidiIn();
  if (h == nullptr) return kMidiNoMemory;
  h->callback = callback;
  h->instance = instance;
  h->kind = e.kind;
  h->client = e.client;
  h->port = e.port;
  h->fake = e.fake;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    for (const MidiIn* o : g_handles) {
      const bool same = o->kind == e.kind && (e.kind == kSourceFake ? o->fake == e.fake
                                                                   : o->client == e.client && o->port == e.port);
      if (same && !o->gone) {
        delete h;
        return kMidiAllocated;
      }
    }
    if (e.kind == kSourceFake) {
      if (e.fake < 0 || e.fake >= static_cast<int32_t>(g_fakes.size()) || !g_fakes[e.fake].present) {
        delete h;
        return kMidiBadDeviceId;
      }
      const uint32_t r = g_fakes[e.fake].openResult;
      if (r != kMidiOk) {
        delete h;
        return r;
      }
    }
  }
#if TARVELO_HAVE_ALSA
  if (e.kind == kSourceSequencer) {
    std::lock_guard<std::mutex> seqHold(g_seqLock);
    h->ownPort = SubscribePort(e.client, e.port);
    if (h->ownPort < 0) {
      delete h;
      return kMidiError;
    }
  }
#endif
  uint32_t started = kMidiOk;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    started = EnsureReader();
    if (started == kMidiOk) g_handles.push_back(h);
  }
  if (started != kMidiOk) {
    if (h->kind == kSourceSequencer) ReleasePort(h->ownPort);  // the sequencer's lock comes first
    delete h;
    return started;
  }
  *handle = h;
  callback(h, kMidiInOpen, instance, 0, 0);
  return kMidiOk;
}

uint32_t MidiInStart(MidiIn* handle) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (handle == nullptr || !Listed(handle)) return kMidiInvalidParam;
  if (handle->kind == kSourceFake && handle->fake >= 0 && handle->fake < static_cast<int32_t>(g_fakes.size())) {
    const uint32_t r = g_fakes[handle->fake].startResult;
    if (r != kMidiOk) return r;
  }
  if (!handle->started) {
    handle->started = true;
    handle->startTime = Now();
  }
  return kMidiOk;
}

uint32_t MidiInClose(MidiIn* handle) {
  if (handle == nullptr) return kMidiInvalidParam;
  bool onReader = false;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = std::find(g_handles.begin(), g_handles.end(), handle);
    if (it == g_handles.end()) return kMidiInvalidParam;
    g_handles.erase(it);
    onReader = g_running && std::this_thread::get_id() == g_readerId;
  }
  if (handle->kind == kSourceSequencer) ReleasePort(handle->ownPort);
  // A callback of this handle may be running right now: wait for its end.
  if (!onReader) {
    g_deliver.lock();
    g_deliver.unlock();
  }
  delete handle;
  return kMidiOk;
}

void MidiInShutdown() {
  std::vector<MidiIn*> handles;
  bool join = false;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    handles.swap(g_handles);
    g_stop = true;
    join = g_running && std::this_thread::get_id() != g_readerId;
  }
  Wake();
  if (join) g_reader.join();
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (join) g_running = false;
    g_stop = false;
    g_done = g_sent;
  }
  g_flushed.notify_all();
  for (MidiIn* h : handles) {
    if (h->kind == kSourceSequencer) ReleasePort(h->ownPort);
    delete h;
  }
#if TARVELO_HAVE_ALSA
  {
    std::lock_guard<std::mutex> seqHold(g_seqLock);
    CloseSequencer();
  }
#endif
}

bool MidiSequencerAvailable() {
#if TARVELO_HAVE_ALSA
  std::lock_guard<std::mutex> seqHold(g_seqLock);
  return EnsureSequencer();
#else
  return false;
#endif
}

// ---------------------------------------------------------------- virtual devices

int32_t MidiFakePlug(const std::string& name, uint32_t driverVersion) {
  std::lock_guard<std::mutex> hold(g_lock);
  FakeDevice f;
  f.name = name.substr(0, kMidiInNameBytes - 1);
  f.version = driverVersion;
  g_fakes.push_back(f);
  return static_cast<int32_t>(g_fakes.size() - 1);
}

void MidiFakeUnplug(int32_t fake) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (fake < 0 || fake >= static_cast<int32_t>(g_fakes.size()) || !g_fakes[fake].present) return;
    g_fakes[fake].present = false;
    bool any = false;
    for (MidiIn* h : g_handles) {
      if (h->kind != kSourceFake || h->fake != fake || h->gone) continue;
      h->gone = true;
      h->closePending = true;
      any = true;
    }
    if (!any) return;
    ++g_sent;
  }
  Wake();
}

void MidiFakeSetResults(int32_t fake, uint32_t openResult, uint32_t startResult) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (fake < 0 || fake >= static_cast<int32_t>(g_fakes.size())) return;
  g_fakes[fake].openResult = openResult;
  g_fakes[fake].startResult = startResult;
}

bool MidiFakeSend(int32_t fake, const std::vector<uint8_t>& bytes) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (fake < 0 || fake >= static_cast<int32_t>(g_fakes.size()) || !g_fakes[fake].present) return false;
    MidiIn* open = nullptr;
    for (MidiIn* h : g_handles)
      if (h->kind == kSourceFake && h->fake == fake && !h->gone) open = h;
    if (open == nullptr || bytes.empty()) return true;  // nobody listens: the bytes are lost
    open->pending.insert(open->pending.end(), bytes.begin(), bytes.end());
    ++g_sent;
  }
  Wake();
  return true;
}

bool MidiInFlush(double timeout) {
  std::unique_lock<std::mutex> hold(g_lock);
  const uint64_t target = g_sent;
  return g_flushed.wait_for(hold, std::chrono::duration<double>(timeout),
                            [&] { return g_done >= target || !g_running; });
}

void MidiFakeRemoveAll() {
  for (int32_t i = 0;; ++i) {
    {
      std::lock_guard<std::mutex> hold(g_lock);
      if (i >= static_cast<int32_t>(g_fakes.size())) break;
    }
    MidiFakeUnplug(i);
  }
  MidiInFlush(2.0);
  std::lock_guard<std::mutex> hold(g_lock);
  // Handles still open keep their numbers valid: forget the list only when none
  // refers to it.
  bool referenced = false;
  for (const MidiIn* h : g_handles)
    if (h->kind == kSourceFake) referenced = true;
  if (!referenced) g_fakes.clear();
}

}  // namespace platform
