#include "visuals/clipboard.h"

#include <gtest/gtest.h>

#if TARVELO_TEST_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "x11_window.h"
#endif

#include <atomic>
#include <string>
#include <thread>

#include "platform/clipboard.h"
#include "platform/screen.h"

namespace {

using namespace QUARLE_VISUALS;

TEST(Clipboard, AccentedTextRoundTrip) {
  ASSERT_TRUE(platform::ScreenHeadless());  // the in-process clipboard
  const std::string text = "Caf\xE9 cr\xE8me \x80 5 \x93quoted\x94 \xFF";
  EXPECT_EQ(SetClipboardText(text), 0);
  // The system side holds UTF-8.
  EXPECT_EQ(platform::ClipboardGetUtf8(),
            "Caf\xC3\xA9 cr\xC3\xA8me \xE2\x82\xAC 5 \xE2\x80\x9Cquoted\xE2\x80\x9D \xC3\xBF");
  EXPECT_EQ(GetClipboardText(), text);
  EXPECT_EQ(SetClipboardText(""), 0);
  EXPECT_EQ(GetClipboardText(), "");
  // The text ends at its first zero byte, as a C string would.
  EXPECT_EQ(SetClipboardText(std::string("ab\0cd", 5)), 0);
  EXPECT_EQ(GetClipboardText(), "ab");
}

TEST(Clipboard, ForeignTextFromTheSystem) {
  // Characters the code page lacks, and malformed bytes, take their escape
  // forms (platform/paths.h: the currency sign, then the number); controls go.
  const struct {
    const char* utf8;
    const char* pasted;
  } rows[] = {
      {"\xE6\x97\xA5 \xC3\xA0 \xF0\x9F\x8E\xB9", "\xA4{65E5} \xE0 \xA4{1F3B9}"},
      {"\xD0\x9F\xD0\xB5\xD1\x81\xD0\xBD\xD1\x8F" "2", "\xA4{41F}\xA4{435}\xA4{441}\xA4{43D}\xA4{44F}2"},
      {"\xC0\xAF \xE2\x82", "\xA4[C0]\xA4[AF] \xA4[E2]\xA4[82]"},
      {"\xED\xA0\x80", "\xA4[ED]\xA4[A0]\xA4[80]"},  // a lone surrogate
      {"a\tb\r\nc\xC2\x85\x7F \xC2\xA4{41F}", "abc \xA4{41F}"},  // a form typed by hand stays one
      {"\xC2\x81\xC2\x80", "\x81"},  // an unassigned byte's C1 control is no control here
  };
  for (const auto& r : rows) {
    platform::ClipboardSetUtf8(r.utf8);
    EXPECT_EQ(GetClipboardText(), r.pasted) << r.utf8;
  }
}

TEST(Clipboard, CopiesCarryTheCharactersTheFormsStandFor) {
  // Other programs get the real characters, as the disk gets a name's; a paste
  // back gives the forms again. A byte form names no character: it travels
  // written out, and comes back as it went.
  const struct {
    const char* copied;
    const char* utf8;
    const char* pasted;
  } rows[] = {
      {"\xA4{41F}\xA4{435}\xA4{441}\xA4{43D}\xA4{44F}.wav",
       "\xD0\x9F\xD0\xB5\xD1\x81\xD0\xBD\xD1\x8F.wav", nullptr},
      {"\xA4{97f3} \xA4{1F3B9}", "\xE9\x9F\xB3 \xF0\x9F\x8E\xB9", "\xA4{97F3} \xA4{1F3B9}"},
      {"caf\xA4[E9].wav", "caf\xC2\xA4[E9].wav", nullptr},
      {"C:\\a\xA4{5C}b", "C:\\a\\b", "C:\\a\\b"},
      {"5 \xA4\xA4, \xA4{zz} \xA4", "5 \xC2\xA4, \xC2\xA4{zz} \xC2\xA4", "5 \xA4, \xA4{zz} \xA4"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(SetClipboardText(r.copied), 0);
    EXPECT_EQ(platform::ClipboardGetUtf8(), r.utf8) << r.copied;
    EXPECT_EQ(GetClipboardText(), r.pasted ? r.pasted : r.copied);
  }
}

TEST(Clipboard, UnassignedBytesSurvive) {
  const std::string odd = "\x81\x8D\x8F\x90\x9D";
  EXPECT_EQ(SetClipboardText(odd), 0);
  EXPECT_EQ(GetClipboardText(), odd);
  // Every character but the controls (a one-line field holds none) comes back.
  std::string all;
  for (int c = 32; c < 256; ++c)
    if (c != 127) all += static_cast<char>(c);
  EXPECT_EQ(SetClipboardText(all), 0);
  EXPECT_EQ(GetClipboardText(), all);
}

#if TARVELO_TEST_X11

// Another program on the display that copies a text: it owns the clipboard
// from now on and gives its text to whoever asks, until it is destroyed.
class OtherProgram {
 public:
  OtherProgram(Display* x, const std::string& utf8) : x_(x), text_(utf8) {
    win_ = XCreateSimpleWindow(x_, DefaultRootWindow(x_), 0, 0, 1, 1, 0, 0, 0);
    clipboard_ = XInternAtom(x_, "CLIPBOARD", False);
    utf8_ = XInternAtom(x_, "UTF8_STRING", False);
    targets_ = XInternAtom(x_, "TARGETS", False);
    XSetSelectionOwner(x_, clipboard_, win_, CurrentTime);
    XSync(x_, False);
    owns_ = XGetSelectionOwner(x_, clipboard_) == win_;
    serving_ = std::thread([this] { Serve(); });
  }
  ~OtherProgram() {
    stop_ = true;
    serving_.join();
    XDestroyWindow(x_, win_);
    XSync(x_, False);
  }
  bool Owns() const { return owns_; }

 private:
  void Serve() {
    while (!stop_) {
      if (XPending(x_) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      XEvent e;
      XNextEvent(x_, &e);
      if (e.type != SelectionRequest) continue;
      const XSelectionRequestEvent& r = e.xselectionrequest;
      XEvent answer{};
      answer.xselection.type = SelectionNotify;
      answer.xselection.requestor = r.requestor;
      answer.xselection.selection = r.selection;
      answer.xselection.target = r.target;
      answer.xselection.time = r.time;
      answer.xselection.property = r.property;
      if (r.target == utf8_) {
        XChangeProperty(x_, r.requestor, r.property, utf8_, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(text_.data()), static_cast<int>(text_.size()));
      } else if (r.target == targets_) {
        const Atom offered[] = {targets_, utf8_};
        XChangeProperty(x_, r.requestor, r.property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(offered), 2);
      } else {
        answer.xselection.property = None;
      }
      XSendEvent(x_, r.requestor, False, NoEventMask, &answer);
      XFlush(x_);
    }
  }

  Display* x_;
  std::string text_;
  Window win_ = 0;
  Atom clipboard_ = 0, utf8_ = 0, targets_ = 0;
  bool owns_ = false;
  std::atomic<bool> stop_{false};
  std::thread serving_;
};

// Copy in the program, copy in another one, paste in the program: the paste
// gives the other program's text (the program's own copy must not take the
// clipboard back from it); the own copy comes back whole while it holds.
std::string PasteAfterAnotherCopyScenario(const char* display) {
  Display* x = nullptr;
  if (const std::string started = StartOnDisplay(display, &x); !started.empty()) return started;
  if (platform::ScreenHeadless()) return "headless";
  std::string fault;
  const std::string song = "\xA4{41F}\xA4{435}\xA4{441}\xA4{43D}\xA4{44F}.wav";
  SetClipboardText(song);
  {
    OtherProgram other(x, "\xD0\x94\xD1\x80\xD1\x83\xD0\xB3\xD0\xBE\xD0\xB9.wav");
    if (!other.Owns()) return "the other program could not copy";
    const std::string pasted = PasteText();
    if (pasted != "\xA4{414}\xA4{440}\xA4{443}\xA4{433}\xA4{43E}\xA4{439}.wav")
      fault += "pasted " + pasted + " after another program's copy; ";
  }
  SetClipboardText("a\xA4{5C}b");
  if (PasteText() != "a\xA4{5C}b") fault += "the own copy came back as " + PasteText() + "; ";
  XCloseDisplay(x);
  return fault;
}

TEST(Clipboard, APasteUnderXGivesAnotherProgramsLaterCopy) {
  TARVELO_WINDOW_TEST_DISPLAY(display);
  EXPECT_WINDOW_SCENARIO(PasteAfterAnotherCopyScenario(display));
}

#endif  // TARVELO_TEST_X11

}  // namespace
