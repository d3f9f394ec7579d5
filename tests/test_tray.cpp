#include "test_tray.h"

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <chrono>
#include <stdexcept>
#include <vector>

TTestTray::TTestTray(const std::string& display) : FDisplay(display) {
  FThread = std::thread([this] { Run(); });
  // Owning the selection is what makes a tray there for the icons.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!FReady && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!FReady) {
    FStop = true;
    FThread.join();
    throw std::runtime_error("the test tray could not take the tray selection");
  }
}

TTestTray::~TTestTray() {
  FStop = true;
  FThread.join();
}

void TTestTray::Run() {
  Display* display = XOpenDisplay(FDisplay.c_str());
  if (!display) return;
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
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = root;
    event.xclient.message_type = manager;
    event.xclient.format = 32;
    event.xclient.data.l[0] = CurrentTime;
    event.xclient.data.l[1] = static_cast<long>(selection);
    event.xclient.data.l[2] = static_cast<long>(tray);
    XSendEvent(display, root, False, StructureNotifyMask, &event);
    XSync(display, False);
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
        XEvent notify{};
        notify.xclient.type = ClientMessage;
        notify.xclient.window = icon;
        notify.xclient.message_type = xembed;
        notify.xclient.format = 32;
        notify.xclient.data.l[0] = CurrentTime;
        notify.xclient.data.l[1] = 0;  // XEMBED_EMBEDDED_NOTIFY
        notify.xclient.data.l[3] = static_cast<long>(tray);
        XSendEvent(display, icon, False, NoEventMask, &notify);
        XSync(display, False);
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
  XCloseDisplay(display);
}
