// Moves and presses the pointer of a wlroots desktop (sway) through its
// virtual-pointer protocol, the one way to drag on a desktop without input
// devices: sway's own "seat cursor" commands deliver no moves while a button
// is held.
//
// wl_pointer WIDTH HEIGHT: positions are in a WIDTH x HEIGHT grid laid over
// the whole output layout (its logical size hits logical pixels). Commands
// come on standard input, a line at a time: "move X Y", "down", "up",
// "mark TEXT" (prints TEXT once everything before it is handled). Every
// event is followed by a frame and a round trip, so the desktop has handled
// it before the next. One process serves a whole test: a program sees the
// pointer only some time after it appears, and loses it when it goes.
#include <linux/input-event-codes.h>
#include <wayland-client.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace {

zwlr_virtual_pointer_manager_v1* Manager = nullptr;
wl_seat* Seat = nullptr;

void Global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
    Manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
  else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !Seat)
    Seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
}

void GlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {Global, GlobalRemove};

uint32_t Now() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: wl_pointer WIDTH HEIGHT < commands\n");
    return 2;
  }
  const uint32_t width = std::strtoul(argv[1], nullptr, 10), height = std::strtoul(argv[2], nullptr, 10);
  wl_display* display = wl_display_connect(nullptr);
  if (!display) {
    std::fprintf(stderr, "wl_pointer: no Wayland display\n");
    return 1;
  }
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, nullptr);
  wl_display_roundtrip(display);
  if (!Manager) {
    std::fprintf(stderr,
                 "wl_pointer: the desktop has no virtual pointer (zwlr_virtual_pointer_manager_v1)\n");
    return 1;
  }
  zwlr_virtual_pointer_v1* pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(Manager, Seat);
  wl_display_roundtrip(display);
  std::printf("ready\n");
  std::fflush(stdout);
  int status = 0;
  bool held = false;
  char line[256];
  while (status == 0 && std::fgets(line, sizeof line, stdin)) {
    char verb[16] = "", text[200] = "";
    unsigned x = 0, y = 0;
    if (std::sscanf(line, "%15s", verb) != 1) continue;
    if (std::strcmp(verb, "mark") == 0 && std::sscanf(line, "mark %199s", text) == 1) {
      std::printf("%s\n", text);
      std::fflush(stdout);
      continue;
    }
    if (std::strcmp(verb, "move") == 0 && std::sscanf(line, "move %u %u", &x, &y) == 2) {
      zwlr_virtual_pointer_v1_motion_absolute(pointer, Now(), x, y, width, height);
    } else if (std::strcmp(verb, "down") == 0 || std::strcmp(verb, "up") == 0) {
      held = verb[0] == 'd';
      zwlr_virtual_pointer_v1_button(
          pointer, Now(), BTN_LEFT,
          held ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    } else {
      std::fprintf(stderr, "wl_pointer: cannot read the command \"%s\"\n", line);
      status = 2;
      break;
    }
    zwlr_virtual_pointer_v1_frame(pointer);
    if (wl_display_roundtrip(display) < 0) status = 1;
  }
  if (held) {
    zwlr_virtual_pointer_v1_button(pointer, Now(), BTN_LEFT, WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(pointer);
  }
  zwlr_virtual_pointer_v1_destroy(pointer);
  zwlr_virtual_pointer_manager_v1_destroy(Manager);
  if (Seat) wl_seat_destroy(Seat);
  wl_registry_destroy(registry);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return status;
}
