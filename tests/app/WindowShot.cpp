// Captures a window of the X display for scripts and tests that look at a
// program from outside (the launcher's prompt on either target):
//   window_shot WINDOW-ID OUT.png [X,Y,W,H ...]
// saves the window's contents as a PNG and prints
//   size <width> <height>
// and for each rectangle, in window coordinates, what of it is clearly red:
//   red <count> <left> <top> <right> <bottom> <longest run> <its row>
// (all -1 but the count when nothing is red). No window manager is assumed:
// the X window is the client area.
//   window_shot --close WINDOW-ID
// asks the window to close, as a window manager's close button does
// (WM_DELETE_WINDOW).
#include <gdk/gdk.h>
#include <gdk/gdkx.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "RedPixels.h"

namespace {

struct TRect {
  int X = 0, Y = 0, W = 0, H = 0;
};

void PrintRed(GdkPixbuf* Image, const TRect& Rect) {
  const int Stride = gdk_pixbuf_get_rowstride(Image), Channels = gdk_pixbuf_get_n_channels(Image);
  const guchar* Data = gdk_pixbuf_read_pixels(Image);
  auto RedAt = [&](int X, int Y) {
    const guchar* P = Data + Y * Stride + X * Channels;
    return green::test::IsRed(P[0], P[1], P[2]);
  };
  green::test::PrintRed(RedAt, gdk_pixbuf_get_width(Image), gdk_pixbuf_get_height(Image), Rect.X,
                        Rect.Y, Rect.W, Rect.H);
}

int Close(GdkDisplay* Gdk, Window Id) {
  ::Display* X = gdk_x11_display_get_xdisplay(Gdk);
  XEvent Event{};
  Event.xclient.type = ClientMessage;
  Event.xclient.window = Id;
  Event.xclient.message_type = XInternAtom(X, "WM_PROTOCOLS", False);
  Event.xclient.format = 32;
  Event.xclient.data.l[0] = static_cast<long>(XInternAtom(X, "WM_DELETE_WINDOW", False));
  Event.xclient.data.l[1] = CurrentTime;
  const bool Sent = XSendEvent(X, Id, False, NoEventMask, &Event) != 0;
  XSync(X, False);
  return Sent ? 0 : 1;
}

}  // namespace

int main(int Argc, char** Argv) {
  if (Argc < 3) {
    std::fprintf(stderr, "usage: window_shot WINDOW-ID OUT.png [X,Y,W,H ...]\n");
    return 2;
  }
  gdk_init(&Argc, &Argv);
  GdkDisplay* Display = gdk_display_get_default();
  if (!Display || !GDK_IS_X11_DISPLAY(Display)) {
    std::fprintf(stderr, "window_shot: no X display\n");
    return 2;
  }
  if (std::string(Argv[1]) == "--close") return Close(Display, std::strtoul(Argv[2], nullptr, 0));
  const Window Id = std::strtoul(Argv[1], nullptr, 0);
  GdkWindow* Target = gdk_x11_window_foreign_new_for_display(Display, Id);
  if (!Target) {
    std::fprintf(stderr, "window_shot: no window %s\n", Argv[1]);
    return 1;
  }
  const int Width = gdk_window_get_width(Target), Height = gdk_window_get_height(Target);
  GdkPixbuf* Image = gdk_pixbuf_get_from_window(Target, 0, 0, Width, Height);
  if (!Image) {
    std::fprintf(stderr, "window_shot: window %s cannot be captured\n", Argv[1]);
    return 1;
  }
  GError* Error = nullptr;
  if (!gdk_pixbuf_save(Image, Argv[2], "png", &Error, nullptr)) {
    std::fprintf(stderr, "window_shot: %s: %s\n", Argv[2], Error ? Error->message : "cannot save");
    return 1;
  }
  std::printf("size %d %d\n", Width, Height);
  for (int I = 3; I < Argc; ++I) {
    TRect Rect;
    if (std::sscanf(Argv[I], "%d,%d,%d,%d", &Rect.X, &Rect.Y, &Rect.W, &Rect.H) != 4) {
      std::fprintf(stderr, "window_shot: not a rectangle: %s\n", Argv[I]);
      return 2;
    }
    PrintRed(Image, Rect);
  }
  g_object_unref(Image);
  g_object_unref(Target);
  return 0;
}
