#include "platform/global_keys.h"

#include "platform/screen.h"

std::unique_ptr<TGlobalKeys> OpenGlobalKeys() {
  return SessionScreenKind() == TScreenKind::Wayland ? OpenPortalGlobalKeys() : OpenX11GlobalKeys();
}
