#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct sd_bus;
struct sd_bus_message;

// The portal's response codes.
enum : uint32_t { kPortalSuccess = 0, kPortalCancelled = 1 };

// One of xdg-desktop-portal's interfaces on the user's session bus, and
// the way its requests are answered: each call makes a request object
// whose Response signal brings the result.
class TPortalClient {
 public:
  TPortalClient(const TPortalClient&) = delete;
  TPortalClient& operator=(const TPortalClient&) = delete;

 protected:
  // Connects and reads the interface's version. Raises noService when
  // there is no bus or the desktop does not offer the interface; failure
  // begins the message of every other error ("The screen cast failed").
  TPortalClient(const char* interface, const char* noService, const char* failure);
  ~TPortalClient();

  // Throws "<failure> (<what>): <errno text>" when an sd-bus call failed.
  void Check(int result, const char* what) const;
  // Calls the method with the arguments appendArgs adds and waits for the
  // Response of the request it makes (its handle_token is token); the
  // results are left in FResponse after the code. idle runs while waiting.
  uint32_t Request(const std::string& method, const std::function<void(sd_bus_message*)>& appendArgs,
                   const std::string& token, const std::function<void()>& idle);
  // Asks for a session: the response code, and on success its handle
  // (empty when the desktop gave none).
  uint32_t CreateSession(const std::function<void()>& idle, std::string& session);
  std::string NewToken();

  sd_bus* FBus = nullptr;
  const char* FInterface;
  const char* FNoService;
  const char* FFailure;
  uint32_t FVersion = 0;
  sd_bus_message* FResponse = nullptr;

 private:
  std::string FSender;  // our unique name as a request path element
  uint32_t FTokens = 0;
};

// The entries of an a{sv} of options.
void AppendPortalOption(sd_bus_message* m, const char* key, const char* type, const void* value);
void AppendPortalString(sd_bus_message* m, const char* key, const std::string& value);
