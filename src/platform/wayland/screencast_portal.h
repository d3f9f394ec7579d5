#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
class TScreenCastPortal {
 public:
  // Connects to the session bus and asks the portal what it offers. Raises
  // "The desktop offers no screen-cast service (xdg-desktop-portal
  // ScreenCast)" when nobody answers for it.
  TScreenCastPortal();
  ~TScreenCastPortal();
  TScreenCastPortal(const TScreenCastPortal&) = delete;
  TScreenCastPortal& operator=(const TScreenCastPortal&) = delete;

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
  // Sends the call and waits for the Response of the request it makes;
  // reads the results with readResults. Returns the response code.
  uint32_t Request(const std::string& method, const std::function<void(struct sd_bus_message*)>& appendArgs,
                   const std::string& token, const std::function<void()>& idle);
  void Close();
  std::string NewToken();

  sd_bus* FBus = nullptr;
  sd_bus_slot* FClosedSlot = nullptr;
  uint32_t FVersion = 0;
  uint32_t FCursorModes = 0;
  std::string FSession;
  std::string FSender;  // our unique name as a request path element
  std::vector<TCastStream> FStreams;
  std::string FRestoreToken;
  bool FClosed = false;
  // What the Response signal of the request being waited for brought.
  struct sd_bus_message* FResponse = nullptr;
  uint32_t FTokens = 0;
};
