// Finding the test process's own window on a shared X server: the window
// tests run side by side on one display, so a window of the right size may
// be another test's.
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

// The viewable top-level window of the given size whose _NET_WM_PID is this
// process (SDL sets it); 0 while there is none.
inline Window FindWindow(Display* d, int w, int h) {
  const Atom pidAtom = XInternAtom(d, "_NET_WM_PID", False);
  Window root = 0, parent = 0;
  Window* kids = nullptr;
  unsigned int n = 0;
  Window found = 0;
  if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &n)) return 0;
  for (unsigned int i = 0; i < n && !found; ++i) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, kids[i], &a) || a.map_state != IsViewable || a.width != w ||
        a.height != h)
      continue;
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, kids[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items,
                           &after, &data) == Success && data) {
      if (format == 32 && items == 1 && *reinterpret_cast<unsigned long*>(data) ==
                                            static_cast<unsigned long>(getpid()))
        found = kids[i];
      XFree(data);
    }
  }
  if (kids) XFree(kids);
  return found;
}
