#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/wayland/portal_client.h"

struct sd_bus;
struct sd_bus_slot;

// One stream of a screen cast: a monitor as the desktop lays it out.
struct TCastStream {
  uint32_t NodeId = 0;
  // Its top-left corner in the desktop's layout; absent when the desktop
  // does not say.
  bool HasPosition = false;
  int32_t X = 0;
  int32_t Y = 0;
};

// The portal's cursor modes, as bits.
enum : uint32_t { kCursorHidden = 1, kCursorEmbedded = 2, kCursorMetadata = 4 };

// A screen-cast session of xdg-desktop-portal on the user's session bus:
// the conversation of requests and their Response signals, and nothing of
// the streams themselves.
class TScreenCastPortal : private TPortalClient {
 public:
  // Connects to the session bus and asks the portal what it offers. Raises
  // "The desktop offers no screen-cast service (xdg-desktop-portal
  // ScreenCast)" when nobody answers for it.
  TScreenCastPortal();
  ~TScreenCastPortal();

  uint32_t AvailableCursorModes() const { return FCursorModes; }
  // Creates the session, lets the desktop ask the user which monitors to
  // share, and starts it. False when the user refused. restoreToken: the
  // token of an earlier consent (may be empty); on success the new one.
  bool Start(uint32_t cursorMode, std::string& restoreToken, const std::function<void()>& idle);
  const std::vector<TCastStream>& Streams() const { return FStreams; }
  // A new connection to the PipeWire daemon that sees the session's
  // streams; the caller owns the descriptor.
  int OpenPipeWireRemote();
  // Whether the desktop has ended the session; reads what the bus holds.
  bool Closed();

 private:
  void Close();

  sd_bus_slot* FClosedSlot = nullptr;
  uint32_t FCursorModes = 0;
  std::string FSession;
  std::vector<TCastStream> FStreams;
  bool FClosed = false;
};
