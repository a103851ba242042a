// The About window: the start-up screen with the logo, the word size, the
// version and two links. The last group of the interface.
#include <string>

#include "app/fixed_tables.h"
#include "app/state/settings.h"
#include "basics/messages.h"
#include "platform/images.h"
#include "platform/paths.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "visuals/colours.h"
#include "visuals/images.h"

namespace Tarvelo {

const char* const ProductWebAddress = "www.tarvelo.org";
const char* const AuthorCreditLine = "Tarvelo - written by its developers, 2019-2026";

std::string AboutWordSizeLine() {
  std::string line;
  line += BuildBits[0];
  line += ' ';
  line += BuildBits[1];
  return line + " - b i t    S T E R E O";
}

std::string AboutVersionLine() {
  std::string line = std::string("v") + ProductVersion;
  if (platform::UpperCase(ReleaseType) == "BETA") line += " Beta";
  const std::string date = kBuildDate;  // mm-dd-yyyy
  if (date.size() >= 10)
    line += "  (" + date.substr(6, 4) + "/" + date.substr(0, 2) + "/" + date.substr(3, 2) + ")";
  return line;
}

namespace {

// Two layers of one text: amber (normal) and white (under the pointer).
void LinkLayers(int32_t id, const std::string& text, int32_t size) {
  SetTextColour(id, 0xFFC89600);
  TextLayer(id, text, size, 2, 2, 0, 0);
  SetTextColour(id, 0xFFFFFFFF);
  TextLayer(id, text, size, 2, 2, 0, 0);
}

}  // namespace

int32_t BuildAboutWindow(BuildContext& ctx) {
  using QUARLE_BASICS::LangText;
  const int32_t u = U(), d = DefaultTextSize;
  const int32_t f175 = Floor(1.75 * d), f15 = Floor(1.5 * d);
  int32_t id = 0, r = 0;

  const int32_t w = 20 * u + 720;
  const int32_t h = Nearby(u * (144.0 / u + 90.0));
  const int32_t x = Nearby((WindowWidth - w) / 2.0);
  const int32_t y = Nearby((WindowHeight - h) / 2.0);
  int32_t about = 0;
  if ((r = MakeControl(ctx, ctx.root, x, y, w, h, nullptr, Cb.DrawAboutWindow, true, 1, "ABOUT",
                       LangText(479, "Information window"), &about)))
    return r;
  if (ControlRecord* c = Ctl(about)) {
    QUARLE_VISUALS::ControlCreateLayer(c, 0, w, h, 0xFFFFFFFF);
    SetWindowSlot(kWinABOUT, about);
    uint32_t from = 0xC832323C;
    if (c->LayerCount > 0 && c->Layers[0])
      QUARLE_VISUALS::GradientFillV(c->Layers[0], 0, 0, w - 1, h - 1, from, 0xFF000000);
  }

  if ((r = MakeControl(ctx, about, 10 * u, 10 * u, 720, 144, nullptr, Cb.DrawLogo, true, 0, "LOGO",
                       LangText(480, "Software logo"), &id)))
    return r;
  SetTag(id, 2);  // blended by its alpha
  if (ControlRecord* c = Ctl(id)) {
    if (QUARLE_VISUALS::ControlAddLayers(c, 1) == 0) {
      platform::Image* logo = nullptr;
      const std::string path = platform::ProgramFolder() + "\\" + kLogoFileName;
      if (QUARLE_VISUALS::LoadImageFile(path, &logo, 13, 1.0f) == 0 && logo)
        c->Layers[c->LayerCount - 1] = logo;
      // A missing logo leaves a transparent area; the rest keeps its place.
      if (!c->Layers[c->LayerCount - 1])
        QUARLE_VISUALS::ControlCreateLayer(c, c->LayerCount - 1, 720, 144, 0xFFFFFFFF);
    }
  }

  if ((r = MakeControl(ctx, about, 10 * u, 15 * u + 144, 720, 2 * u + f175, nullptr, Cb.DrawLabel,
                       true, 11, "VER1", LangText(481, "Software version"), &id)))
    return r;
  SetTextColour(id, 0xFFFFFFFF);
  TextLayer(id, AboutWordSizeLine(), f175, 2, 2, 0, 0);

  if ((r = MakeControl(ctx, about, 10 * u, 18 * u + 144 + f175, 720, 2 * u + f15, nullptr,
                       Cb.DrawLabel, true, 11, "VER2", LangText(482, "Software release type"),
                       &id)))
    return r;
  SetTextColour(id, 0xFFFFFFFF);
  TextLayer(id, AboutVersionLine(), f15, 2, 2, 0, 0);

  if ((r = MakeControl(ctx, about, 10 * u, 32 * u + 144 + f175 + f15, 720, 2 * u + 2 * d,
                       Cb.OnAboutLink, Cb.DrawLink, true, 11, "LINK",
                       LangText(483, "Visit Tarvelo's website for ressources and documentation."),
                       &id)))
    return r;
  SetTag(id, 0);
  LinkLayers(id, ProductWebAddress, 2 * d);

  if ((r = MakeControl(ctx, about, 10 * u, 46 * u + 144 + f175 + f15 + 2 * d, 720, 2 * u + f15,
                       Cb.OnAboutLink, Cb.DrawLink, true, 11, "BY",
                       LangText(484, "Click to visit my web portal for contact and other projects."),
                       &id)))
    return r;
  SetTag(id, 1);
  LinkLayers(id, AuthorCreditLine, f15);
  return 0;
}

}  // namespace Tarvelo
