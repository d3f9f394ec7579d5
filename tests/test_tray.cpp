#include "test_tray.h"

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <chrono>
#include <stdexcept>
#include <vector>

namespace {

// An icon window may go before the tray is done with it: the tray's own
// errors are none of the program's, whose handler gets the others.
Display* GTrayDisplay = nullptr;
XErrorHandler GPreviousHandler = nullptr;

int IgnoreTrayErrors(Display* display, XErrorEvent* error) {
  if (display == GTrayDisplay) return 0;
  return GPreviousHandler ? GPreviousHandler(display, error) : 0;
}

void SendMessage(Display* display, Window to, Window about, Atom type, long mask, long a, long b, long c, long d) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = about;
  event.xclient.message_type = type;
  event.xclient.format = 32;
  event.xclient.data.l[0] = CurrentTime;
  event.xclient.data.l[1] = a;
  event.xclient.data.l[2] = b;
  event.xclient.data.l[3] = c;
  event.xclient.data.l[4] = d;
  XSendEvent(display, to, False, mask, &event);
  XSync(display, False);
}

}  // namespace

TTestTray::TTestTray(const std::string& display) : FDisplay(display) {
  GTrayDisplay = XOpenDisplay(FDisplay.c_str());
  if (!GTrayDisplay) throw std::runtime_error("the test tray cannot open " + FDisplay);
  GPreviousHandler = XSetErrorHandler(IgnoreTrayErrors);
  FThread = std::thread([this] { Run(); });
  // Owning the selection is what makes a tray there for the icons.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!FReady && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!FReady) {
    FStop = true;
    FThread.join();
    XCloseDisplay(GTrayDisplay);
    XSetErrorHandler(GPreviousHandler);
    throw std::runtime_error("the test tray could not take the tray selection");
  }
}

TTestTray::~TTestTray() {
  FStop = true;
  FThread.join();
  XCloseDisplay(GTrayDisplay);
  XSetErrorHandler(GPreviousHandler);
  GTrayDisplay = nullptr;
}

void TTestTray::Run() {
  Display* display = GTrayDisplay;  // this thread's alone from here on
  const Window root = DefaultRootWindow(display);
  const Window tray = XCreateSimpleWindow(display, root, Left, Top, Size * 4, Size, 0, 0, 0x404040);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  XChangeWindowAttributes(display, tray, CWOverrideRedirect, &attributes);
  XSelectInput(display, tray, SubstructureNotifyMask);
  XMapRaised(display, tray);
  const Atom selection = XInternAtom(display, "_NET_SYSTEM_TRAY_S0", False);
  const Atom opcode = XInternAtom(display, "_NET_SYSTEM_TRAY_OPCODE", False);
  const Atom manager = XInternAtom(display, "MANAGER", False);
  const Atom xembed = XInternAtom(display, "_XEMBED", False);
  const Atom orientation = XInternAtom(display, "_NET_SYSTEM_TRAY_ORIENTATION", False);
  const long horizontal = 0;
  XChangeProperty(display, tray, orientation, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&horizontal), 1);
  XSetSelectionOwner(display, selection, tray, CurrentTime);
  if (XGetSelectionOwner(display, selection) == tray) {
    // Tells the clients already waiting that a tray is there.
    SendMessage(display, root, root, manager, StructureNotifyMask, static_cast<long>(selection),
                static_cast<long>(tray), 0, 0);
    FReady = true;
  }
  std::vector<Window> icons;
  while (!FStop && FReady) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == ClientMessage && event.xclient.message_type == opcode && event.xclient.data.l[1] == 0) {
        // SYSTEM_TRAY_REQUEST_DOCK: the icon's window comes into ours.
        const Window icon = static_cast<Window>(event.xclient.data.l[2]);
        XReparentWindow(display, icon, tray, Size * static_cast<int>(icons.size()), 0);
        XResizeWindow(display, icon, Size, Size);
        XMapRaised(display, icon);
        // XEMBED_EMBEDDED_NOTIFY, protocol version 0.
        SendMessage(display, icon, icon, xembed, NoEventMask, 0, 0, static_cast<long>(tray), 0);
        icons.push_back(icon);
        FIcons = static_cast<int>(icons.size());
      } else if (event.type == DestroyNotify || (event.type == ReparentNotify && event.xreparent.parent != tray)) {
        const Window gone = event.type == DestroyNotify ? event.xdestroywindow.window : event.xreparent.window;
        std::erase(icons, gone);
        FIcons = static_cast<int>(icons.size());
      }
    }
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, 20);
  }
  XDestroyWindow(display, tray);
  XSync(display, False);
}
