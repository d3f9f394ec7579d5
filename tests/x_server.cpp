#include "x_server.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "test_support.h"

pid_t TXServer::Start(std::vector<std::string> args, const std::string& display, std::string& name) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // -noreset: the server would otherwise wipe the screen whenever its last client leaves.
  args.insert(args.begin() + 1, {"-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-noreset"});
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // A test that aborts takes its X server with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    fcntl(fds[1], F_SETFD, 0);  // the server writes its display number here
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  char c;
  while (poll(&p, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (number.empty()) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    throw std::runtime_error("the X server " + args[0] + " did not start");
  }
  name = ":" + number;
  return pid;
}

TXServer::TXServer(int width, int height) {
  FServer = Start({"Xvfb", "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24"}, "",
                  FName);
}

TXServer::TXServer(const std::vector<std::string>& heads) {
  FHost = Start({"Xvfb", "-screen", "0", "1600x1200x24"}, "", FHostName);
  std::vector<std::string> args = {"Xephyr", "+xinerama"};
  for (const std::string& head : heads) args.insert(args.end(), {"-screen", head});
  try {
    FServer = Start(args, FHostName, FName);
  } catch (...) {
    kill(FHost, SIGTERM);
    waitpid(FHost, nullptr, 0);
    throw;
  }
}

TXServer::~TXServer() {
  for (pid_t pid : {FServer, FHost}) {
    if (pid <= 0) continue;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
}

std::string TXServer::Run(const std::string& command) const {
  return RunCommand("DISPLAY=" + FName + " " + command);
}

namespace {
Display* OpenOrThrow(const std::string& name) {
  Display* display = XOpenDisplay(name.c_str());
  if (!display) throw std::runtime_error("cannot open the test's display " + name);
  return display;
}
}  // namespace

void TXServer::PaintRoot(const std::function<uint32_t(int32_t, int32_t)>& color) const {
  Display* display = OpenOrThrow(FName);
  int screen = DefaultScreen(display);
  int width = DisplayWidth(display, screen), height = DisplayHeight(display, screen);
  Window root = RootWindow(display, screen);
  auto* data = static_cast<char*>(malloc(static_cast<size_t>(width) * static_cast<size_t>(height) * 4));
  XImage* image = XCreateImage(display, DefaultVisual(display, screen),
                               static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, 0, data,
                               static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) XPutPixel(image, x, y, color(x, y));
  // As the root's background the picture comes back wherever a window leaves.
  Pixmap pixmap = XCreatePixmap(display, root, static_cast<unsigned>(width), static_cast<unsigned>(height),
                                static_cast<unsigned>(DefaultDepth(display, screen)));
  XPutImage(display, pixmap, DefaultGC(display, screen), image, 0, 0, 0, 0, static_cast<unsigned>(width),
            static_cast<unsigned>(height));
  XSetWindowBackgroundPixmap(display, root, pixmap);
  XClearWindow(display, root);
  XFreePixmap(display, pixmap);  // the root keeps its own reference
  XDestroyImage(image);
  XSync(display, False);
  XCloseDisplay(display);
}

void TXServer::UseTextCursor() const {
  Display* display = OpenOrThrow(FName);
  XDefineCursor(display, DefaultRootWindow(display), XCreateFontCursor(display, XC_xterm));
  XSync(display, False);
  XCloseDisplay(display);
}

namespace {
Window FindWindow(Display* display, Window window, const std::string& title) {
  char* name = nullptr;
  if (XFetchName(display, window, &name) && name) {
    bool match = title == name;
    XFree(name);
    if (match) return window;
  }
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  Window found = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count)) {
    for (unsigned i = 0; i < count && !found; ++i) found = FindWindow(display, children[i], title);
    if (children) XFree(children);
  }
  return found;
}
}  // namespace

void TXServer::CloseWindow(const std::string& title) const {
  Display* display = OpenOrThrow(FName);
  Window window = FindWindow(display, DefaultRootWindow(display), title);
  if (!window) {
    XCloseDisplay(display);
    throw std::runtime_error("no window named " + title);
  }
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XSync(display, False);
  XCloseDisplay(display);
}
