// The scope, the synth plane with the synth output port, and one hidden module
// box per module type. Every module block on the plane is a clone of its type's
// box, so the box carries everything a block shows: caption layers, body, port
// group with its ports, callbacks and masks.
#include <cmath>
#include <string>
#include <vector>

#include "app/state/settings.h"
#include "basics/messages.h"
#include "engine/catalog/catalog.h"
#include "engine/modulelist.h"
#include "platform/images.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "visuals/colours.h"
#include "visuals/control_table.h"

namespace Tarvelo {

const uint32_t CategoryColours[8] = {0x00000000, 0xFFAA0000, 0xFFE6C300, 0xFF212121,
                                     0xFF0055C8, 0xFFC800AA, 0xFFFF7F00, 0xFF7F00C8};

namespace {

uint32_t ScaleChannels(uint32_t colour, double factor, uint32_t alpha) {
  uint32_t out = alpha << 24;
  for (int shift = 0; shift <= 16; shift += 8) {
    const double ch = static_cast<double>((colour >> shift) & 0xFF) * factor;
    out |= (static_cast<uint32_t>(std::nearbyint(ch)) & 0xFF) << shift;
  }
  return out;
}

}  // namespace

uint32_t ModuleBodyFill(uint32_t colour) { return ScaleChannels(colour, 0.33, 0xAA); }
uint32_t ModuleBodyShade(uint32_t colour) { return ScaleChannels(colour, 0.5, 0xFF); }

int32_t BuildPlaneAndTemplates(BuildContext& ctx) {
  using QUARLE_BASICS::LangText;
  const int32_t u = U(), b = B(), g = TextStep, icon = IconSizePx();
  int32_t id = 0, r = 0;

  // The old tree is gone: a build that stops before a type's box is made must
  // not leave the type pointing at an id that now belongs to another control.
  for (int32_t t = 0; t < kModuleTypeCount; ++t) ModuleCatalog[t].BoxControl.Store(0);

  // Scope and plane share one rectangle; the plane lies above and takes the mouse.
  const int32_t top = MonitorsSpanned <= 1 ? 20 * u : 10 * u;
  const int32_t wp = WindowWidth - 93 * u;
  const int32_t hp = WindowHeight - top;
  if ((r = MakeControl(ctx, ctx.root, 0, top, wp, hp, nullptr, Cb.DrawScope, true, 0, "SCOPE",
                       "SCOPE", &id)))
    return r;
  SetNoHit(id);
  SetUiIndex(kUiSCOPE, id);

  int32_t synth = 0;
  if ((r = MakeControl(ctx, ctx.root, 0, top, wp, hp, Cb.OnSynthPlaneMouse, Cb.DrawSynthPlane,
                       true, 127, "SYNTH", LangText(416, "Synthesizer window"), &synth)))
    return r;
  SetClip(synth);
  if (ControlRecord* c = Ctl(synth)) QUARLE_VISUALS::ControlCreateLayer(c, 0, 0, 0, 0xFFFFFFFF);
  SetWindowSlot(kWinSYNTH, synth);

  const int32_t soutX = Nearby((wp - 10.0 * u) / 2.0 + OctaveKeyHeight.Load());
  const int32_t soutY = hp - 17 * u - KeyboardKeySize;
  if ((r = MakeControl(ctx, synth, soutX, soutY, 10 * u, 8 * u, Cb.OnModulePortMouse,
                       Cb.DrawSynthOutput, true, 11, "SOUT",
                       LangText(417, "Synthesizer output"), &id)))
    return r;
  GlyphLayer(id, 255, icon + 3 * g, 0xFFFFFFFF, 0, 0, 0, icon + 3 * g);
  GlyphLayer(id, 'O', icon, 0xFFFFFFFF, 0, 0, 0, icon);
  SetOn(id, SynthOutputModule.load() != nullptr ? -1 : 0);
  SetUiIndex(kUiSOUT, id);

  // The value fields' digits of the templates follow the parameter page's field.
  const int32_t fad = UiId(kUiFAD_PP);
  const ControlRecord* fav = fad > 0 ? Ctl(fad + 2) : nullptr;
  const int32_t fieldW = fav ? fav->W - 2 * b : 0;
  const int32_t fieldH = fav ? fav->H - 2 * b : 0;

  // First loop: box, port group and empty second child of every type.
  for (int32_t t = 0; t < kModuleTypeCount; ++t) {
    ModuleRecord& type = ModuleCatalog[t];
    const int32_t w = u * type.BoxWidthUnits + 2 * b;
    const int32_t h = u * type.BoxHeightUnits + 2 * b;
    int32_t box = 0;
    if ((r = MakeControl(ctx, ctx.root, 0, 0, w, h, Cb.OnModuleBoxMouse, Cb.DrawModuleBox, false,
                         31, "MOD", QUARLE_BASICS::DynZStringGet(type.Name), &box)))
      return r;
    ControlRecord* c = Ctl(box);
    if (type.PortCount <= 0) ModuleBoxCaptionOffset(c) = -(7 * u + 1);
    TextLayer(box, QUARLE_BASICS::DynZStringGet(type.ShortName), DefaultTextSize, 2, 2, 0, 5 * u);
    GlyphLayer(box, 246, icon, 0xFF0055C8, 0, 0, icon, 5 * u);  // polyphony mark
    TextLayer(box, "M", DefaultTextSize, 3, 2, 0, 5 * u);
    TextLayer(box, "S", DefaultTextSize, 3, 2, 0, 5 * u);        // stereo mark
    type.BoxControl.Store(box);
    const int32_t category = type.Category >= 0 && type.Category < 8 ? type.Category : 0;
    c->Colour = CategoryColours[category];
    // The body: a dark fill whose bottom band fades to a half-bright shade.
    if (QUARLE_VISUALS::ControlCreateLayer(c, 4, 0, 0, 0xFFFFFFFF) == 0) {
      platform::Image* body = c->Layers[4];
      uint32_t c1 = ModuleBodyFill(c->Colour);
      const uint32_t c2 = ModuleBodyShade(c->Colour);
      platform::DrawBox(body, 3, 3, w - 6, h - 6, c1);
      QUARLE_VISUALS::GradientFillV(body, 3, h - 5 * u - b, w - 4, h - 4, c1, c2);
    }
    if ((r = MakeControl(ctx, box, 0, 0, w, h, nullptr, nullptr, false, 31, "PMOD", "", &id)))
      return r;
    SetNoHit(id);
    if ((r = MakeControl(ctx, box, 0, 0, w, h, nullptr, nullptr, true, 0, "CMOD", "", &id)))
      return r;
    SetNoHit(id);
    for (int32_t p = 0; p < type.ParamCount && p < kModuleParams; ++p)
      ParamValueSetFieldSize(type.Params[p].Number, fieldW, fieldH);
  }

  // Second loop: the ports of every type, inputs in port order, then the output.
  const std::string inputBase = LangText(418, "Module input") + " #";
  const std::string outputTip = LangText(419, "Module output");
  for (int32_t t = 0; t < kModuleTypeCount; ++t) {
    const ModuleRecord& type = ModuleCatalog[t];
    const ControlRecord* box = Ctl(static_cast<int32_t>(type.BoxControl.Load()));
    std::vector<QUARLE_VISUALS::ChildRef> groups;
    QUARLE_VISUALS::LiveChildren(box, groups);
    if (groups.empty()) continue;
    const int32_t group = groups[0].Id;
    const ControlRecord* pmod = Ctl(group);
    if (!pmod) continue;
    const int32_t gw = pmod->W, gh = pmod->H;
    const int32_t n = type.PortCount;
    if (n > 0) {
      const int32_t inner = gw - 2 * b;
      const int32_t pw = Nearby(static_cast<double>(inner) / n);
      // Rounding too wide narrows the first port; too narrow leaves a gap at the right.
      const int32_t excess = inner - pw * n < 0 ? inner - pw * n : 0;
      int32_t x = b;
      for (int32_t j = 0; j < n; ++j) {
        const int32_t width = j == 0 ? pw + excess : pw;
        if ((r = MakeControl(ctx, group, x, b, width, 6 * u, Cb.OnModulePortMouse,
                             Cb.DrawModulePort, true, 31, "MODIN",
                             inputBase + std::to_string(j), &id)))
          return r;
        const std::string label =
            j < kModuleParams ? QUARLE_BASICS::DynZStringGet(type.Params[j].Label) : "";
        TextLayer(id, label, DefaultTextSize - g, 2, 2, 0, 0);
        SetTag(id, j);
        x += width;
      }
    }
    if ((r = MakeControl(ctx, group, Nearby((gw - 10.0 * u) / 2.0), gh - b - 5 * u, 10 * u, 5 * u,
                         Cb.OnModulePortMouse, Cb.DrawModulePort, true, 11, "MODOUT", outputTip,
                         &id)))
      return r;
    GlyphLayer(id, 255, icon + 3 * g, 0xFFFFFFFF, 0, -b);
    SetTag(id, -1);
  }
  return 0;
}

}  // namespace Tarvelo
