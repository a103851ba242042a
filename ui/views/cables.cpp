#include "ui/views/cables.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <vector>

#include "basics/dynzstring.h"
#include "engine/modulelist.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/views/control_drawing.h"
#include "ui/views/control_images.h"
#include "ui/views/synth_plane.h"
#include "visuals/control_table.h"
#include "visuals/dirty_region.h"
#include "visuals/fonts.h"
#include "visuals/glyphs.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::Point;
using platform::Image;

const uint32_t CableColours[kCableKinds] = {0xFFC800AA, 0xFF0055AA, 0xFFE6C300};
std::atomic<int64_t> LowFrameRateMode{0};

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

constexpr uint32_t kPlaneFrame = 0xFF0A2A4D;
constexpr uint32_t kDropOutline = 0xFFFFFFFF;
constexpr uint16_t kDropPattern = 0x5555;

// The drop outline x1..x2, y1..y2 as far as it lies on the plane cx1..cx2,
// cy1..cy2: a drag may run on beyond the plane's edges (into the lists), and
// the plane paints nothing beyond them. Each side keeps its direction, so its
// pattern starts where the whole box's would.
void DropOutlineWithin(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t cx1, int32_t cy1,
                       int32_t cx2, int32_t cy2) {
  const int32_t l = std::max(x1, cx1), r = std::min(x2, cx2);
  const int32_t t = std::max(y1, cy1), b = std::min(y2, cy2);
  if (l > r || t > b) return;
  auto within = [](int32_t v, int32_t lo, int32_t hi) { return lo <= v && v <= hi; };
  if (within(y1, cy1, cy2)) PatternLine(l, y1, r, y1, kDropOutline, kDropPattern);
  if (within(x2, cx1, cx2)) PatternLine(x2, t, x2, b, kDropOutline, kDropPattern);
  if (within(y2, cy1, cy2)) PatternLine(r, y2, l, y2, kDropOutline, kDropPattern);
  if (within(x1, cx1, cx2)) PatternLine(x1, b, x1, t, kDropOutline, kDropPattern);
}
constexpr uint16_t kCablePattern = 0x3333;

constexpr uint32_t kBoxFrameRest = 0xFF3C3C4B;
constexpr uint32_t kBoxRelated = 0xFF0055C8;
constexpr uint32_t kBoxBlack = 0xFF000000;
constexpr uint32_t kBoxWhite = 0xFFFFFFFF;

constexpr uint32_t kPortHover = 0xFFBEBEFF;
constexpr uint32_t kPortRest = 0xFF4B4B5A;
constexpr uint32_t kPortClipped = 0xFFFF0000;
constexpr uint32_t kPortMoved = 0xFFFF7F00;
constexpr uint32_t kFillLinked = 0xFF006400;
constexpr uint32_t kFillSelf = 0xFFAA00DE;
constexpr uint32_t kFillGlobal = 0xFFC84664;
constexpr uint32_t kFillIdle = 0xFF32323C;
constexpr uint32_t kFillInactive = 0xFF640000;
constexpr uint32_t kFillArmed = 0xFFC89600;

constexpr uint32_t kOutputHover = 0xFF175DB0;
constexpr uint32_t kOutputRest = 0xFF0A2A4D;
constexpr uint32_t kOutputOn = 0xFF057805;

bool Outside(const CableBounds& r, double x, double y) {
  return x <= r.xmin || x >= r.xmax || y <= r.ymin || y >= r.ymax;
}

void NullSegment(Segment& out, const Segment& cable) {
  out = Segment{};
  out.x0 = cable.x0;
  out.y0 = cable.y0;
}

void SetPath(Segment& out, double x0, double y0, double x1, double y1) {
  out = Segment{};
  QUARLE_BASICS::SegmentSetStart(out, Point{static_cast<float>(x0), static_cast<float>(y0)});
  QUARLE_BASICS::SegmentSetEnd(out, Point{static_cast<float>(x1), static_cast<float>(y1)});
}

// Direction from the whole-pixel vector (vx, vy) in [0, 2 pi), screen y down.
double CornerAngle(double vx, double vy) {
  if (vx == 0.0 && vy == 0.0) return 0.0;
  double a = vx == 0.0 ? (vy > 0.0 ? kPi / 2.0 : -kPi / 2.0) : std::atan(vy / vx);
  if (vx < 0.0)
    a += kPi;
  else if (vy < 0.0)
    a += kTwoPi;
  return a;
}

// The video thread looks for boxes at every frame, also while the interface
// thread is still giving a new module its box: the box number is published
// last, with a release, once the box is placed.
ControlRecord* BoxOf(const ModuleRecord* m) {
  if (!m) return nullptr;
  const int64_t box =
      m->BoxControl.Load(std::memory_order_acquire);
  if (box <= 0 || box >= V::kControlTableCapacity) return nullptr;
  return V::ControlAt(static_cast<int32_t>(box));
}

// What the interface thread last published of a control: where it is, its
// tag and its user pointer. The video thread reads no live record: a pan
// moves the boxes (ControlSetX/Y) under no lock the frame holds.
// one thread: value
struct Published {
  int32_t x = 0, y = 0, w = 0, h = 0;
  uint64_t tag = 0;
  const void* user = nullptr;
};
bool PublishedOf(const ControlRecord* c, Published& out) {
  if (!c || !c->Render || !c->RenderLock) return false;
  platform::MutexGuard g(c->RenderLock);
  const RenderRecord* r = c->Render;
  out = Published{r->X, r->Y, r->W, r->H, r->Tag, r->UserPointer};
  return true;
}

// one thread: value
struct Cable {
  Segment seg;
  int32_t kind;
};

bool SameCable(const Cable& a, const Cable& b) {
  return a.kind == b.kind && a.seg.x0 == b.seg.x0 && a.seg.y0 == b.seg.y0 && a.seg.dx == b.seg.dx &&
         a.seg.dy == b.seg.dy;
}

bool CableBefore(const Cable& a, const Cable& b) {
  if (a.seg.x0 != b.seg.x0) return a.seg.x0 < b.seg.x0;
  if (a.seg.y0 != b.seg.y0) return a.seg.y0 < b.seg.y0;
  if (a.seg.dx != b.seg.dx) return a.seg.dx < b.seg.dx;
  if (a.seg.dy != b.seg.dy) return a.seg.dy < b.seg.dy;
  return a.kind < b.kind;
}

// The cables of the frame being drawn and what they looked like, so that a
// frame redraws wherever a cable appeared, went, moved or changed its look,
// whoever changed it (an engine link, a box moved, a synth loaded). Video
// thread only.
// one thread: video
struct CableFrame {
  std::vector<Cable> cables;  // what this frame draws
  std::vector<Cable> next;    // the collection being compared
  std::vector<int32_t> order[2];
  std::vector<int32_t> match;
  std::vector<char> kept;
  int32_t plane = 0;
  bool moving = false;  // drawn as dashed lines
  int32_t unit = 0, radius = 0;
  bool known = false;   // `cables` holds a collection
  bool open = false;    // a frame is being drawn: the plane draws `cables`
  bool stale = true;    // the cached layer does not show `cables`
};
CableFrame g_frame;

// What a box or a port shows beside its published record (module state, the
// selection, the render's one-frame flags) as a word: each draw keeps the word
// it drew under its control's id, and the frame watch marks a control whose
// module now calls for another. 0: not drawn yet. Video thread only.
constexpr uint32_t kLookDrawn = 1;
// one thread: video, the frame watch's
std::vector<uint32_t> g_looks;
std::vector<int32_t> g_groups, g_ports;  // children lists the watch walks

void KeepLook(int32_t id, uint32_t look) {
  if (id < 0 || id >= V::kControlTableCapacity) return;
  if (static_cast<size_t>(id) >= g_looks.size()) g_looks.resize(static_cast<size_t>(id) + 1, 0);
  g_looks[static_cast<size_t>(id)] = look;
}

// The word the frame watch worked out for each box and port, with the module
// it read it from, under the module list's lock: the frame's draws take it
// from here and never read the module, which the interface thread changes and
// frees outside any lock a draw holds. Video thread only.
// one thread: value
struct Wanted {
  const void* m = nullptr;
  uint32_t look = 0;
};
// one thread: video
std::vector<Wanted> g_wanted;
bool g_watching = false;  // the frame watch ran for the frame being drawn

void Want(int32_t id, const ModuleRecord* m, uint32_t look) {
  if (id < 0 || id >= V::kControlTableCapacity) return;
  if (static_cast<size_t>(id) >= g_wanted.size()) g_wanted.resize(static_cast<size_t>(id) + 1);
  g_wanted[static_cast<size_t>(id)] = Wanted{m, look};
}

// The render's one-frame flags (an output clipped, a value moved by a
// controller), taken from the modules once at the start of each frame: every
// draw of that frame, the ports' and the value field's, whole or partial,
// shows the same flash, and the next frame none. Video thread only.
// one thread: value
struct Flash {
  const ModuleRecord* m;
  uint64_t moved;  // bit p: Params[p] moved
  bool clip;
};
// one thread: video
std::vector<Flash> g_flashes;

const Flash* FlashOf(const ModuleRecord* m) {
  for (const Flash& f : g_flashes)
    if (f.m == m) return &f;
  return nullptr;
}

// A one-frame flag the render raises: read, and cleared only when raised, so
// a raise between the two is never lost.
bool TakeFlag(Shared<int64_t>& flag) {
  return flag.Load() == -1 && flag.Exchange(0) == -1;
}

// The module list's lock held by the caller.
void TakeFlashesLocked() {
  g_flashes.clear();
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleRecord* m = ModuleList.entries ? ModuleList.entries[i] : nullptr;
    if (!m) continue;
    Flash f{m, 0, false};
    f.clip = TakeFlag(m->ClipFlag);
    for (int32_t p = 0; p < kModuleParams; ++p)
      if (TakeFlag(m->Params[p].MidiMoved)) f.moved |= uint64_t{1} << p;
    if (f.clip || f.moved != 0) g_flashes.push_back(f);
  }
}

// The drop outline last drawn (window coordinates; w 0: none).
// one thread: video, the frame watch's
platform::ScreenRect g_outline{0, 0, 0, 0};

bool IsOutputPort(uint64_t tag) { return static_cast<int64_t>(tag) < 0; }

// Related: the selected module is triggered by this one, directly or through
// the source of its voice-map port.
bool Related(const ModuleRecord* m) {
  const ModuleRecord* sel = SelectedModuleShown.load(std::memory_order_acquire);
  if (!m || !sel || sel == m) return false;
  if (sel->TriggerOwner.Load() == m) return true;
  const int32_t vp = sel->VoiceMapSourcePort.Load();
  if (sel->PortCount > 0 && vp >= 0 && vp < kModuleParams) {
    const ModuleRecord* src = sel->PortSources[vp].Load();
    if (src && src->TriggerOwner.Load() == m) return true;
  }
  return false;
}

uint32_t BoxLook(const ModuleRecord* m) {
  uint32_t look = kLookDrawn;
  if (!m) return look;
  look |= 2u;
  if (m->ModuleSwitches[kSwitchPerVoice].Load() != 0) look |= 4u;
  if (m->ChannelsProcessed.Load() == 2) look |= 8u;
  if (m->PortCount > 0) look |= 16u;
  if (Related(m)) look |= 32u;
  return look;
}

// A port's look: bits 1-2 the link state shown, then output, switched off,
// used, and the one-frame flash (clip or controller move) of this frame.
constexpr uint32_t kLookFlash = 64u;
uint32_t PortLook(uint64_t tag, const ModuleRecord* m) {
  uint32_t look = kLookDrawn;
  if (!m) return look;
  if (IsOutputPort(tag)) {
    look |= 8u;
    if (m->OrderExcluded.Load() == -1) look |= 16u;
    if (m->OutputCount.Load() > 0 || m == SynthOutputModule.load()) look |= 32u;
    if (const Flash* f = FlashOf(m); f && f->clip) look |= kLookFlash;
    return look;
  }
  const int32_t t = static_cast<int32_t>(tag);
  if (t < 0 || t >= kModuleParams) return look;
  const ModuleParam& p = m->Params[t];
  const int32_t state =
      (m->OutputCount.Load() > 0 && p.FeedbackPort.Load() == -1) ? 2 : p.PortLinkState.Load();
  look |= static_cast<uint32_t>(state & 3) << 1;
  if (MovedThisFrame(m, t)) look |= kLookFlash;
  return look;
}

void CheckLook(const ControlRecord* c, uint32_t look) {
  const size_t id = static_cast<size_t>(c->Id);
  if (id >= g_looks.size() || g_looks[id] == 0 || g_looks[id] == look) return;
  V::MarkControlPublishedDirty(const_cast<ControlRecord*>(c));
}

void CopyChildren(const ControlRecord* c, std::vector<int32_t>& out) {
  out.clear();
  if (!c->ChildLock) return;
  platform::MutexGuard g(c->ChildLock);
  if (c->Children.Ids) out.assign(c->Children.Ids, c->Children.Ids + c->Children.Count);
}

// Marks every box and port whose module calls for another look than the one
// last drawn, the module list's lock held by the caller.
void WatchLooksLocked() {
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleRecord* m = ModuleList.entries ? ModuleList.entries[i] : nullptr;
    ControlRecord* box = BoxOf(m);
    if (!box || box->DeletePending.load() != 0) continue;
    const uint32_t look = BoxLook(m);
    Want(box->Id, m, look);
    CheckLook(box, look);
    // The ports sit in a group inside the box.
    CopyChildren(box, g_groups);
    for (const int32_t gid : g_groups) {
      const ControlRecord* group = gid > 0 && gid != box->Id ? V::ControlAt(gid) : nullptr;
      if (!group) continue;
      CopyChildren(group, g_ports);
      for (const int32_t pid : g_ports) {
        const ControlRecord* port = pid > 0 && pid != gid ? V::ControlAt(pid) : nullptr;
        Published p;
        if (!port || port->DrawCallback.load() != &DrawModulePort || !PublishedOf(port, p) ||
            p.user != m)
          continue;
        const uint32_t portLook = PortLook(p.tag, m);
        Want(pid, m, portLook);
        CheckLook(port, portLook);
      }
    }
  }
}

bool Listed(const ModuleRecord* m) {
  for (int32_t i = 0; i < ModuleList.count; ++i)
    if (ModuleList.entries && ModuleList.entries[i] == m) return true;
  return false;
}

// The look a box (port: with its published tag) draws: within a frame the one
// its watch worked out for that module. A draw outside a frame, or of a box
// the watch has not yet seen, reads the module itself only while the list
// holds it and the list is free; else the bare look, which the next frame's
// watch corrects.
uint32_t DrawnLook(int32_t id, const ModuleRecord* m, bool port, uint64_t tag) {
  if (!m) return kLookDrawn;
  if (g_watching && id >= 0 && static_cast<size_t>(id) < g_wanted.size() &&
      g_wanted[static_cast<size_t>(id)].m == m && g_wanted[static_cast<size_t>(id)].look != 0)
    return g_wanted[static_cast<size_t>(id)].look;
  uint32_t look = kLookDrawn;
  if (!platform::MutexTryLock(ModuleList.lock)) return look;
  if (Listed(m)) look = port ? PortLook(tag, m) : BoxLook(m);
  platform::MutexUnlock(ModuleList.lock);
  return look;
}

// The drop outline the plane's published record and drag-over flag call for.
platform::ScreenRect OutlineOf(ControlRecord* plane) {
  platform::ScreenRect r{0, 0, 0, 0};
  if (plane->DragOver == 0 || !plane->Render || !plane->RenderLock) return r;
  const ModuleRecord* payload = nullptr;
  {
    platform::MutexGuard g(plane->RenderLock);
    payload = static_cast<const ModuleRecord*>(plane->Render->UserPointer);
    r.x = plane->Render->PressX;
    r.y = plane->Render->PressY;
  }
  Published box;
  if (!PublishedOf(BoxOf(payload), box) || box.w <= 0 || box.h <= 0)
    return platform::ScreenRect{0, 0, 0, 0};
  r.w = box.w;
  r.h = box.h;
  return r;
}

bool SameRect(const platform::ScreenRect& a, const platform::ScreenRect& b) {
  return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h;
}

void WatchOutline(ControlRecord* plane) {
  const platform::ScreenRect now = OutlineOf(plane);
  if (SameRect(now, g_outline)) return;
  V::MarkScreenDirty(g_outline.x, g_outline.y, g_outline.w, g_outline.h);
  V::MarkScreenDirty(now.x, now.y, now.w, now.h);
  // The plane's draw keeps what it drew; an outline it never reaches is
  // marked once.
  g_outline = now;
}

// Keeps the clipped cable unless nothing of it is visible.
void Keep(std::vector<Cable>& out, double x0, double y0, double x1, double y1, int32_t kind,
          const CableBounds& bounds) {
  Segment raw, clipped;
  SetPath(raw, x0, y0, x1, y1);
  BuildCablePath(clipped, raw, bounds);
  if (QUARLE_BASICS::SegmentIsNull(clipped) == 0) out.push_back(Cable{clipped, kind});
}

// Narrows [lo, hi] to the x for which coef x + c0 lies in [vmin, vmax].
void Constrain(double& lo, double& hi, double coef, double c0, double vmin, double vmax) {
  if (std::fabs(coef) < 1e-12) {
    if (c0 < vmin || c0 > vmax) hi = lo - 1.0;
    return;
  }
  double a = (vmin - c0) / coef, b = (vmax - c0) / coef;
  if (a > b) std::swap(a, b);
  if (a > lo) lo = a;
  if (b < hi) hi = b;
}

// Collects this frame's cables into `out` (window coordinates), the module
// list's lock held by the caller.
// Boxes are where they were last published, as their draws place them.
void CollectLocked(int32_t planeId, std::vector<Cable>& out) {
  out.clear();
  const CableBounds bounds = PlaneCableBounds(planeId);
  const int32_t b = BorderPx();
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleRecord* m = ModuleList.entries ? ModuleList.entries[i] : nullptr;
    Published box;
    if (!PublishedOf(BoxOf(m), box) || m->ModuleSwitches[1].Load() == 0) continue;
    const int32_t ports = m->PortCount < kModuleParams ? m->PortCount : kModuleParams;
    if (ports <= 0) continue;
    const int32_t spacing = Nearest(static_cast<double>(box.w - 2 * b) / ports);
    double x = box.x;
    for (int32_t j = 0; j < ports; ++j, x += spacing) {
      const ModuleRecord* s = m->PortSources[j].Load();
      if (!s || s->Role != kRoleLive || s == m) continue;
      Published sbox;
      if (!PublishedOf(BoxOf(s), sbox)) continue;
      const int32_t kind = m->Params[j].OutputSide.Load() == 1 ? 1 : 0;
      Keep(out, sbox.x + sbox.w * 0.5, sbox.y + sbox.h - 1.0, x + spacing * 0.5 + 1.0, box.y,
           kind, bounds);
    }
  }
  Published obox, sout;
  if (PublishedOf(BoxOf(SynthOutputModule.load()), obox) && V::UiIndex && V::UiIndex[kUiSOUT] > 0 &&
      PublishedOf(V::ControlAt(V::UiIndex[kUiSOUT]), sout))
    Keep(out, obox.x + obox.w * 0.5, obox.y + obox.h - 1.0, Nearest(sout.w * 0.5 + sout.x), sout.y,
         2, bounds);
}

void CollectInto(int32_t planeId, std::vector<Cable>& out) {
  platform::MutexGuard guard(ModuleList.lock);
  CollectLocked(planeId, out);
}

// Marks what a cable covers on the screen: its band (or dashed line) and the
// glow sprites on its two ends.
void MarkCable(const Cable& k, int32_t unit, int32_t radius) {
  const Point e = QUARLE_BASICS::SegmentEnd(k.seg);
  const double reach = unit + 2.0;
  double x0 = std::floor(std::fmin(k.seg.x0, e.x) - reach);
  double y0 = std::floor(std::fmin(k.seg.y0, e.y) - reach);
  double x1 = std::ceil(std::fmax(k.seg.x0, e.x) + reach);
  double y1 = std::ceil(std::fmax(k.seg.y0, e.y) + reach);
  if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) return;
  if (const Image* glow = k.kind >= 0 && k.kind < kCableKinds ? GlowImages[k.kind] : nullptr) {
    for (const Point p : {Point{k.seg.x0, k.seg.y0}, e}) {
      const double sx = Nearest(p.x) - radius, sy = Nearest(p.y) - radius;
      x0 = std::fmin(x0, sx);
      y0 = std::fmin(y0, sy);
      x1 = std::fmax(x1, sx + glow->width);
      y1 = std::fmax(y1, sy + glow->height);
    }
  }
  constexpr double kFar = 1 << 20;
  x0 = std::clamp(x0, -kFar, kFar);
  y0 = std::clamp(y0, -kFar, kFar);
  x1 = std::clamp(x1, -kFar, kFar);
  y1 = std::clamp(y1, -kFar, kFar);
  V::MarkScreenDirty(static_cast<int32_t>(x0), static_cast<int32_t>(y0),
                     static_cast<int32_t>(x1 - x0) + 1, static_cast<int32_t>(y1 - y0) + 1);
}

// Marks every cable of `before` that `after` does not hold and the other way
// round. Cables kept but drawn in another order are marked too: where two
// overlap, the later one's band shows.
bool MarkCableChanges(const std::vector<Cable>& before, int32_t beforeUnit, int32_t beforeRadius,
                      const std::vector<Cable>& after, int32_t unit, int32_t radius) {
  if (before.size() == after.size() &&
      std::equal(before.begin(), before.end(), after.begin(), SameCable))
    return false;
  std::vector<int32_t>& ob = g_frame.order[0];
  std::vector<int32_t>& oa = g_frame.order[1];
  ob.resize(before.size());
  oa.resize(after.size());
  for (size_t i = 0; i < ob.size(); ++i) ob[i] = static_cast<int32_t>(i);
  for (size_t i = 0; i < oa.size(); ++i) oa[i] = static_cast<int32_t>(i);
  std::sort(ob.begin(), ob.end(),
            [&](int32_t a, int32_t b) { return CableBefore(before[a], before[b]); });
  std::sort(oa.begin(), oa.end(),
            [&](int32_t a, int32_t b) { return CableBefore(after[a], after[b]); });
  // match[i]: the cable of `before` equal to after[i], -1 none.
  std::vector<int32_t>& match = g_frame.match;
  match.assign(after.size(), -1);
  std::vector<char>& kept = g_frame.kept;
  kept.assign(before.size(), 0);
  for (size_t i = 0, j = 0; i < ob.size() && j < oa.size();) {
    const Cable& b = before[ob[i]];
    const Cable& a = after[oa[j]];
    if (SameCable(b, a)) {
      match[oa[j]] = ob[i];
      kept[ob[i]] = 1;
      ++i, ++j;
    } else if (CableBefore(b, a)) {
      ++i;
    } else {
      ++j;
    }
  }
  for (size_t i = 0; i < before.size(); ++i)
    if (!kept[i]) MarkCable(before[i], beforeUnit, beforeRadius);
  int32_t last = -1;
  for (size_t i = 0; i < after.size(); ++i) {
    if (match[i] > last)
      last = match[i];
    else
      MarkCable(after[i], unit, radius);  // new, or now drawn before one it followed
  }
  return true;
}

}  // namespace

bool PlaneInMovingLook() { return PlaneMoving.load() == -1 || LowFrameRateMode.load() == -1; }

void BeginCableFrame() {
  g_frame.open = false;
  g_watching = true;
  const int32_t plane =
      V::WindowList && V::WindowSlotCount > kWinSYNTH ? V::WindowList[kWinSYNTH] : 0;
  if (plane <= 0 || !V::ControlAt(plane)) return;
  const bool moving = PlaneInMovingLook();
  const int32_t unit = UnitPx(), radius = GlowRadius;
  // The frame never waits for the list (a synth being loaded holds it): a
  // busy list leaves the last collection drawn and compared next frame.
  g_frame.open = g_frame.known && g_frame.plane == plane;
  WatchOutline(V::ControlAt(plane));
  if (!platform::MutexTryLock(ModuleList.lock)) return;
  TakeFlashesLocked();
  CollectLocked(plane, g_frame.next);
  WatchLooksLocked();
  platform::MutexUnlock(ModuleList.lock);
  // A new look redraws every cable, as it was and as it is.
  const bool restyled = !g_frame.known || plane != g_frame.plane || moving != g_frame.moving ||
                        unit != g_frame.unit || radius != g_frame.radius;
  bool changed = false;
  if (restyled) {
    if (g_frame.known)
      for (const Cable& k : g_frame.cables) MarkCable(k, g_frame.unit, g_frame.radius);
    for (const Cable& k : g_frame.next) MarkCable(k, unit, radius);
    changed = true;
  } else {
    changed = MarkCableChanges(g_frame.cables, g_frame.unit, g_frame.radius, g_frame.next, unit,
                               radius);
  }
  g_frame.cables.swap(g_frame.next);
  if (changed) g_frame.stale = true;
  g_frame.plane = plane;
  g_frame.moving = moving;
  g_frame.unit = unit;
  g_frame.radius = radius;
  g_frame.known = true;
  g_frame.open = true;
}

void EndCableFrame() {
  g_frame.open = false;
  g_watching = false;
}

bool MovedThisFrame(const ModuleRecord* m, int32_t p) {
  const Flash* f = m && p >= 0 && p < kModuleParams ? FlashOf(m) : nullptr;
  return f && ((f->moved >> p) & 1u) != 0;
}

CableBounds PlaneCableBounds(int32_t planeId) {
  CableBounds r;
  Published c;
  if (!PublishedOf(V::ControlAt(planeId), c)) return r;
  const int32_t b = BorderPx();
  r.xmin = static_cast<float>(c.x + b);
  r.xmax = static_cast<float>(c.x + c.w - b - 1);
  r.ymin = static_cast<float>(c.y + b);
  r.ymax = static_cast<float>(c.y + c.h - b - 1);
  return r;
}

Segment& BuildCablePath(Segment& out, const Segment& cable, int32_t planeId) {
  return BuildCablePath(out, cable, PlaneCableBounds(planeId));
}

Segment& BuildCablePath(Segment& out, const Segment& cable, const CableBounds& r) {
  const double sx = cable.x0, sy = cable.y0;
  const double ex = sx + cable.dx, ey = sy + cable.dy;
  const bool sOut = Outside(r, sx, sy), eOut = Outside(r, ex, ey);
  if (!sOut && !eOut) {
    out = cable;
    return out;
  }
  if (sOut != eOut) {
    if (sx == ex && sy == ey) {
      out = cable;
      return out;
    }
    // From the inside end towards the other.
    const bool fromStart = !sOut;
    const double qx = fromStart ? sx : ex, qy = fromStart ? sy : ey;
    double a = cable.angle;
    if (!fromStart) {
      a -= kPi;
      if (a < 0.0) a += kTwoPi;
    }
    const double a1 = CornerAngle(Nearest(r.xmax - qx), Nearest(r.ymax - qy));
    const double a2 = CornerAngle(Nearest(r.xmin - qx), Nearest(r.ymax - qy));
    const double a3 = CornerAngle(Nearest(r.xmin - qx), Nearest(r.ymin - qy));
    const double a4 = CornerAngle(Nearest(r.xmax - qx), Nearest(r.ymin - qy));
    // 0 bottom, 1 left, 2 top, 3 right.
    int32_t edge = 3;
    if (a1 <= a && a < a2)
      edge = 0;
    else if (a2 <= a && a < a3)
      edge = 1;
    else if (a3 <= a && a < a4)
      edge = 2;
    // A cable along an axis cannot leave through an edge parallel to it (the
    // corner angles are taken from whole pixels and may say so).
    if ((edge == 0 || edge == 2) && cable.dy == 0.0f) edge = std::cos(a) < 0.0 ? 1 : 3;
    if ((edge == 1 || edge == 3) && cable.dx == 0.0f) edge = std::sin(a) < 0.0 ? 2 : 0;
    const double len = cable.length;
    double px = 0.0, py = 0.0;
    if (edge == 0 || edge == 2) {
      py = edge == 0 ? r.ymax : r.ymin;
      px = qx + std::fabs((py - qy) / cable.dy) * std::cos(a) * len;
    } else {
      px = edge == 1 ? r.xmin : r.xmax;
      py = qy + std::fabs((px - qx) / cable.dx) * std::sin(a) * len;
    }
    SetPath(out, qx, qy, px, py);
    return out;
  }

  // Both ends outside: the part between two border crossings, if any.
  const double rx = Nearest(std::fabs(cable.dx)), ry = Nearest(std::fabs(cable.dy));
  auto crossesX = [&](double v) { return std::fabs(2.0 * v - sx - ex) <= rx; };
  auto crossesY = [&](double v) { return std::fabs(2.0 * v - sy - ey) <= ry; };
  if (cable.dx == 0.0f) {
    // Vertical: the visible span when the cable runs across the whole plane.
    const double lo = sy < ey ? sy : ey, hi = sy < ey ? ey : sy;
    if (sx > r.xmin && sx < r.xmax && lo <= r.ymin && hi >= r.ymax) {
      if (sy < ey)
        SetPath(out, sx, r.ymin, sx, r.ymax);
      else
        SetPath(out, sx, r.ymax, sx, r.ymin);
    } else {
      NullSegment(out, cable);
    }
    return out;
  }
  const double m = static_cast<double>(cable.dy) / cable.dx;
  const double b = sy - m * sx;
  double px[2] = {0.0, 0.0}, py[2] = {0.0, 0.0};
  int32_t n = 0;
  auto accept = [&](double x, double y) {
    px[n] = x;
    py[n] = y;
    ++n;
  };
  if (crossesX(r.xmin)) {
    const double y = m * r.xmin + b;
    if (r.ymin < y && y < r.ymax) accept(r.xmin, y);
  }
  if (crossesX(r.xmax)) {
    const double y = m * r.xmax + b;
    if (r.ymin < y && y < r.ymax) accept(r.xmax, y);
  }
  if (n < 2 && crossesY(r.ymax)) {
    const double x = (r.ymax - b) / m;
    if (r.xmin < x && x < r.xmax) accept(x, r.ymax);
  }
  if (n < 2 && crossesY(r.ymin)) {
    const double x = (r.ymin - b) / m;
    if (r.xmin < x && x < r.xmax) accept(x, r.ymin);
  }
  if (n == 2)
    SetPath(out, px[0], py[0], px[1], py[1]);
  else
    NullSegment(out, cable);
  return out;
}

void DrawCable(uint32_t* pixels, int32_t pitch, const Segment& cable, const CableClip& clip,
               const uint32_t* ramp, int32_t W, int32_t K) {
  if (!pixels || !ramp || pitch < 1 || W < 1 || K < 1) return;
  if (!std::isfinite(cable.x0) || !std::isfinite(cable.y0) || !std::isfinite(cable.dx) ||
      !std::isfinite(cable.dy))
    return;
  Segment s = cable;
  if (!(s.dy > 0.0f)) QUARLE_BASICS::SegmentReverse(s);
  const double len = std::sqrt(static_cast<double>(s.dx) * s.dx + static_cast<double>(s.dy) * s.dy);
  if (!(len > 0.0) || !std::isfinite(len)) return;
  const int32_t H = 3 * W;
  // Beyond this distance no pixel can take a ramp entry below H.
  const double reach = static_cast<double>(H) / K + 1.0;
  const double ux = s.dx / len, uy = s.dy / len;
  const double x0 = s.x0, y0 = s.y0, y1 = y0 + s.dy;
  const double left = std::ceil(clip.left), right = std::floor(clip.right);
  if (right < left) return;
  const double top = std::fmax(std::ceil(clip.top), std::ceil(std::fmin(y0, y1) - reach));
  const double bottom = std::fmin(std::floor(clip.bottom), std::floor(std::fmax(y0, y1) + reach));
  for (double y = top; y <= bottom; y += 1.0) {
    const double ry = y - y0;
    double lo = left, hi = right;
    // Along the cable between its ends, and across it within reach.
    Constrain(lo, hi, ux, ry * uy - x0 * ux, 0.0, len);
    Constrain(lo, hi, -uy, ry * ux + x0 * uy, -reach, reach);
    if (hi < lo) continue;
    uint32_t* row = pixels + static_cast<int64_t>(y) * pitch;
    for (double x = std::ceil(lo); x <= hi; x += 1.0) {
      const double along = (x - x0) * ux + ry * uy;
      if (along < 0.0 || along > len) continue;
      const int32_t d = Nearest(std::fabs(-(x - x0) * uy + ry * ux) * K);
      if (d < H) row[static_cast<int64_t>(x)] = ramp[d];
    }
  }
}

int32_t CollectCables(int32_t planeId, Segment* cables, int32_t* kinds, int32_t capacity) {
  std::vector<Cable> all;
  CollectInto(planeId, all);
  int32_t n = 0;
  for (const Cable& c : all) {
    if (n >= capacity) break;
    if (cables) cables[n] = c.seg;
    if (kinds) kinds[n] = c.kind;
    ++n;
  }
  return n;
}

int32_t CableCapacity() {
  platform::MutexGuard guard(ModuleList.lock);
  int32_t n = 1;
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    const ModuleRecord* m = ModuleList.entries ? ModuleList.entries[i] : nullptr;
    if (m) n += m->PortCount < kModuleParams ? (m->PortCount > 0 ? m->PortCount : 0) : kModuleParams;
  }
  return n;
}

int32_t DrawSynthPlane(RenderRecord* snap, int32_t id) {
  ControlRecord* c = LiveControl(id);
  if (!snap || !c) return 0;
  const int32_t b = BorderPx(), u = UnitPx();
  // Cables are in window coordinates; the target may be the plane's canvas.
  Published at;
  PublishedOf(c, at);
  const int32_t ox = snap->X - at.x, oy = snap->Y - at.y;

  // Drop outline of a module dragged from the lists.
  g_outline = platform::ScreenRect{0, 0, 0, 0};
  Published box;
  if (c->DragOver != 0 && snap->UserPointer &&
      PublishedOf(BoxOf(static_cast<const ModuleRecord*>(snap->UserPointer)), box) && box.w > 0 &&
      box.h > 0) {
    const int32_t px = snap->PressX + ox, py = snap->PressY + oy;
    DropOutlineWithin(px, py, px + box.w - 1, py + box.h - 1, snap->X, snap->Y,
                      snap->X + snap->W - 1, snap->Y + snap->H - 1);
    g_outline = platform::ScreenRect{snap->PressX, snap->PressY, box.w, box.h};
  }

  // Within a frame the cables that its start collected and marked; a draw
  // outside one collects its own (the array is kept so that draws do not
  // allocate).
  // one thread: video
  static std::vector<Cable> own;
  const bool framed = g_frame.open && g_frame.plane == id;
  if (!framed) CollectInto(id, own);
  const std::vector<Cable>& cables = framed ? g_frame.cables : own;

  const bool moving = framed ? g_frame.moving : PlaneInMovingLook();
  Image* layer = LayerAt(c, 0);
  if (moving) {
    for (const Cable& k : cables) {
      const Point e = QUARLE_BASICS::SegmentEnd(k.seg);
      PatternLine(Nearest(k.seg.x0) + ox, Nearest(k.seg.y0) + oy, Nearest(e.x) + ox,
                  Nearest(e.y) + oy, CableColours[k.kind], kCablePattern);
    }
  } else if (CablesDirty.exchange(0) == -1 || (framed && g_frame.stale)) {
    // The interface raises the flag, this draw takes it whole: a raise after
    // the take waits for the next frame.
    // Painted from another collection than the frame's, the layer is to be
    // painted again at the next frame.
    g_frame.stale = !framed;
    const int32_t ramps = GlowRampLength;
    if (layer && layer->pixels) {
      ImageBox(layer, 0, 0, layer->width - 1, layer->height - 1, 0x00000000);
      const int32_t perRow = Nearest(layer->pitch / 4.0);
      CableClip clip;
      clip.left = static_cast<float>(b);
      clip.top = static_cast<float>(b);
      clip.right = static_cast<float>(std::min(snap->W, layer->width) - b - 1);
      clip.bottom = static_cast<float>(std::min(snap->H, layer->height) - b - 1);
      for (const Cable& k : cables) {
        const uint32_t* ramp = GlowRamps[k.kind];
        // A ramp shorter than the band would be read past its end.
        if (!ramp || ramps < 6 * u) continue;
        Segment shifted = k.seg;
        shifted.x0 -= static_cast<float>(at.x);
        shifted.y0 -= static_cast<float>(at.y);
        DrawCable(layer->pixels, perRow, shifted, clip, ramp, 2 * u, 6);
      }
    }
  }
  // The layer keeps its size until the interface fits it again: on a plane
  // that just shrank (the keyboards shown) it would reach past the edge.
  if (!moving && layer) BlitImageWithin(layer, snap->X, snap->Y, snap->X, snap->Y, snap->W, snap->H);

  const int32_t r = GlowRadius;
  for (const Cable& k : cables) {
    const Image* glow = GlowImages[k.kind];
    if (!glow) continue;
    const Point e = QUARLE_BASICS::SegmentEnd(k.seg);
    // Within the plane, as the cables: an end near its edge would glow beyond.
    for (const Point p : {Point{k.seg.x0, k.seg.y0}, e})
      BlitImageWithin(glow, Nearest(p.x) - r + ox, Nearest(p.y) - r + oy, snap->X, snap->Y,
                      snap->W, snap->H);
  }

  FrameRect(snap, V::kFrameFlat, b, kPlaneFrame);
  return 0;
}

int32_t DrawModuleBox(RenderRecord* snap, int32_t id) {
  ControlRecord* c = LiveControl(id);
  if (!snap || !c) return 0;
  const int32_t b = BorderPx(), u = UnitPx();
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  int32_t result = 0;

  // Caption, rendered again only when its text changed.
  Image* caption = LayerAt(c, 0);
  if (snap->Text.Changed != 0 && caption) {
    const int32_t W = caption->width, H = caption->height;
    ClearImage(caption, W - 1, H - 1);
    const std::string text = V::TextFieldGetText(&snap->Text);
    const int32_t size = snap->Text.TextSize;
    int32_t width = V::TextWidth(text, &V::TextFont, size);
    if (width > W) width = W;
    if (width < 0) width = 0;
    V::ControlSetLayoutWidth(c, width);
    const int32_t r = V::DrawTextFT(caption, Nearest((W - width) * 0.5), Nearest((H - size) * 0.5),
                                    0, text, V::TextFont.Face, size, snap->Text.TextColour, 2);
    if (r < 0) result = r;
  }

  // Background: blended on the page, laid as it is on a canvas.
  if (Image* body = LayerAt(c, 4)) {
    if (V::DrawTarget)
      CopyImageOpaque(body, x, y);
    else
      BlitImage(body, x, y);
  }

  // Drawn from the frame watch's reading of the module, which it compares.
  const uint32_t look =
      DrawnLook(id, static_cast<const ModuleRecord*>(snap->UserPointer), false, snap->Tag);
  KeepLook(id, look);
  if (look & 4u)
    if (Image* poly = LayerAt(c, 1)) BlitImage(poly, x + b + u, y + h - b - 5 * u);
  if ((look & 8u) && c->LayerCount > 3)
    if (Image* stereo = LayerAt(c, 3)) BlitImage(stereo, x + b - 3, y + h - b - 5 * u);
  const bool hasPorts = (look & 16u) != 0;
  const int32_t portRow = hasPorts ? 6 * u : 0;
  const int32_t shift = hasPorts ? 0 : 3;
  const bool related = (look & 32u) != 0;

  if (snap->State.On == 0 && snap->State.Pressed == 0) {
    if (related) {
      OutlineBox(x, y, x + w - 1, y + h - 1, kBoxBlack);
      PatternBox(x, y, x + w - 1, y + h - 1, kBoxRelated, kCablePattern);
      PatternBox(x + 1, y + 1, x + w - 2, y + h - 2, kBoxRelated, kCablePattern);
    } else {
      FrameRect(snap, V::kFrameFlat, b, kBoxFrameRest);
    }
  } else {
    OutlineBox(x, y, x + w - 1, y + h - 1, kBoxBlack);
    PatternBox(x, y, x + w - 1, y + h - 1, kBoxWhite, kCablePattern);
    PatternBox(x + 1, y + 1, x + w - 2, y + h - 2, kBoxWhite, kCablePattern);
  }

  // The part of the box below the port row, in the box's category colour.
  if (w > 2 * b && h > portRow + 2 * b)
    OutlineBox(x + b, y + portRow + b, x + w - b - 1, y + h - b - 1, snap->Colour);

  if (caption)
    BlitImage(caption, x + b,
              Nearest(b + y + (h + snap->Text.FitCount - 4.0 * u) * 0.5 + shift));
  return result;
}

int32_t DrawModulePort(RenderRecord* snap, int32_t id) {
  ControlRecord* c = LiveControl(id);
  if (!snap || !c) return 0;
  const int32_t b = BorderPx();
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  FrameColour = snap->State.Active != 0 ? kPortHover : kPortRest;
  FrameStyle = V::kFrameFlat;

  // Drawn from the frame watch's reading of the module, which it compares.
  const uint32_t look =
      DrawnLook(id, static_cast<const ModuleRecord*>(snap->UserPointer), true, snap->Tag);
  KeepLook(id, look);
  const bool output = (look & 8u) != 0;
  const bool inactive = (look & 16u) != 0, used = (look & 32u) != 0;
  const int32_t state = static_cast<int32_t>((look >> 1) & 3u);
  // The frame flashes for the one frame that took the flag; the watch redraws
  // the port at the next one.
  if (look & kLookFlash) FrameColour = output ? kPortClipped : kPortMoved;

  if (snap->State.On == 0 && snap->State.Pressed == 0) {
    FrameStyle = V::kFrameRaised;
    switch (state) {
      case 1: FillColour = kFillLinked; break;
      case 2: FillColour = kFillSelf; break;
      case 3: FillColour = kFillGlobal; break;
      default: FillColour = kFillIdle; break;
    }
    if (output) {
      if (inactive)
        FillColour = kFillInactive;
      else if (used)
        FillColour = kFillLinked;
    }
  } else {
    FrameStyle = V::kFrameSunken;
    FillColour = kFillArmed;
  }
  TextColour = kColourWhite;
  FillBox(x, y, x + w - 1, y + h - 1, FillColour);
  BlitOverlay(c, x, y);
  if (Image* glyph = LayerAt(c, 0)) BlitImage(glyph, x + b, y + b);
  FrameRect(snap, FrameStyle, b, FrameColour);
  return 0;
}

void SynthOutputReach(const ControlRecord* c, int32_t& /*x0*/, int32_t& y0, int32_t& x1,
                      int32_t& y1) {
  // The label's two lines: one above the control, one over its lower part.
  const int32_t b = BorderPx(), u = UnitPx();
  const int32_t top[2] = {-2 * u, 2 * u};
  for (int32_t i = 0; i < 2 && i < c->LayerCount; ++i) {
    const Image* line = c->Layers[i];
    if (!line) continue;
    x1 = std::max(x1, b + line->width);
    y0 = std::min(y0, top[i]);
    y1 = std::max(y1, top[i] + line->height);
  }
}

int32_t DrawSynthOutput(RenderRecord* snap, int32_t id) {
  ControlRecord* c = LiveControl(id);
  if (!snap || !c) return 0;
  const int32_t b = BorderPx(), u = UnitPx();
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  FrameColour = snap->State.Active != 0 ? kOutputHover : kOutputRest;
  if (snap->State.Pressed != 0) {
    FrameStyle = V::kFrameSunken;
    FillColour = kFillArmed;
  } else if (snap->State.On != 0) {
    FrameStyle = V::kFrameRaised;
    FillColour = kOutputOn;
  } else {
    FrameStyle = V::kFrameFlat;
    FillColour = kFillIdle;
  }
  TextColour = kColourWhite;
  FillBox(x, y, x + w - 1, y + h - 1, FillColour);
  BlitOverlay(c, x, y);
  if (Image* top = LayerAt(c, 0)) BlitImage(top, x + b, y - 2 * u);
  if (Image* bottom = LayerAt(c, 1)) BlitImage(bottom, x + b, y + 2 * u);
  FrameRect(snap, FrameStyle, b, FrameColour);
  return 0;
}

}  // namespace Tarvelo
