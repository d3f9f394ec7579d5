#include "stored_settings.h"

#include <algorithm>

#include "base/exception.h"
#include "platform/registry.h"

namespace {

const char* const kSettingsKey = "software\\quorvane\\Sorvek";
const char* const kScreenCastToken = "ScreenCastRestoreToken";
const char* const kFirstSix[] = {"IncludeCursor", "UseJpegFormat", "FPS",
                                 "VideoSize",     "PixelFormat",   "Compression"};

// A later value read on its own: false when it is there but cannot be read.
template <typename TRead>
bool ReadOnItsOwn(const TRegistry& registry, const char* name, TRead read) {
  if (!registry.ValueExists(name)) return true;
  try {
    read(name);
    return true;
  } catch (const Exception&) {
    return false;
  }
}

std::vector<TRegValue> AllValues(const TSettingsValues& v) {
  return {TRegistry::IntegerValue("IncludeCursor", v.IncludeCursor ? 1 : 0),
          TRegistry::IntegerValue("UseJpegFormat", v.UseJpegFormat ? 1 : 0),
          TRegistry::IntegerValue("FPS", v.FPS),
          TRegistry::IntegerValue("VideoSize", v.VideoSize),
          TRegistry::IntegerValue("PixelFormat", v.PixelFormat),
          TRegistry::IntegerValue("Compression", v.Compression),
          TRegistry::IntegerValue("ShowArea", v.ShowArea ? 1 : 0),
          TRegistry::IntegerValue("Sound", v.Sound),
          TRegistry::IntegerValue("RecordingDelay", v.RecordingDelay),
          TRegistry::IntegerValue("HideWhileRecording", v.HideWhileRecording ? 1 : 0),
          TRegistry::StringValue("HotkeyStartStop", v.HotkeyStartStop),
          TRegistry::StringValue("HotkeyPauseResume", v.HotkeyPauseResume),
          TRegistry::IntegerValue("ShareQuality", v.ShareQuality)};
}

// Whether a later value is as it was loaded, by its name.
bool Unchanged(const std::string& name, const TSettingsValues& now, const TSettingsValues& loaded) {
  if (name == "Sound") return now.Sound == loaded.Sound;
  if (name == "RecordingDelay") return now.RecordingDelay == loaded.RecordingDelay;
  if (name == "HideWhileRecording") return now.HideWhileRecording == loaded.HideWhileRecording;
  if (name == "HotkeyStartStop") return now.HotkeyStartStop == loaded.HotkeyStartStop;
  if (name == "HotkeyPauseResume") return now.HotkeyPauseResume == loaded.HotkeyPauseResume;
  if (name == "ShareQuality") return now.ShareQuality == loaded.ShareQuality;
  return false;
}

}  // namespace

void TStoredSettings::Load() {
  *this = TStoredSettings();
  TRegistry registry;
  if (!registry.OpenKey(kSettingsKey, false)) return;
  TSettingsValues& v = FValues;
  int32_t* const targets[] = {nullptr, nullptr, &v.FPS, &v.VideoSize, &v.PixelFormat, &v.Compression};
  try {
    for (; FInOrderRead < 6; ++FInOrderRead) {
      const int32_t value = registry.ReadInteger(kFirstSix[FInOrderRead]);
      if (FInOrderRead == 0) v.IncludeCursor = value != 0;
      if (FInOrderRead == 1) v.UseJpegFormat = value != 0;
      if (targets[FInOrderRead]) *targets[FInOrderRead] = value;
    }
    try {
      v.ShowArea = registry.ReadInteger("ShowArea") != 0;
      FShowAreaRead = true;
    } catch (const Exception&) {
      // Older keys have no outline setting: it stays on.
    }
  } catch (const Exception& e) {
    FFailure = e.Message();
  }
  auto note = [this](const char* name, bool read) {
    if (!read) FUnreadable.push_back(name);
  };
  note("Sound", ReadOnItsOwn(registry, "Sound", [&](const char* name) {
         const int32_t sound = registry.ReadInteger(name);
         if (sound >= 0 && sound <= 3) v.Sound = sound;
       }));
  note("RecordingDelay", ReadOnItsOwn(registry, "RecordingDelay", [&](const char* name) {
         v.RecordingDelay = registry.ReadInteger(name);
       }));
  note("HideWhileRecording", ReadOnItsOwn(registry, "HideWhileRecording", [&](const char* name) {
         v.HideWhileRecording = registry.ReadInteger(name) != 0;
       }));
  note("HotkeyStartStop", ReadOnItsOwn(registry, "HotkeyStartStop", [&](const char* name) {
         v.HotkeyStartStop = registry.ReadString(name);
       }));
  note("HotkeyPauseResume", ReadOnItsOwn(registry, "HotkeyPauseResume", [&](const char* name) {
         v.HotkeyPauseResume = registry.ReadString(name);
       }));
  note("ShareQuality", ReadOnItsOwn(registry, "ShareQuality", [&](const char* name) {
         const int32_t quality = registry.ReadInteger(name);
         if (quality >= 0 && quality <= 2) v.ShareQuality = quality;
       }));
}

void TStoredSettings::Save(const TSettingsValues& values) {
  TRegistry registry;
  if (!registry.OpenKey(kSettingsKey, true)) throw Exception("Failed to set data for 'IncludeCursor'");
  std::vector<TRegValue> all = AllValues(values);
  // A value there that could not be read is the user's, not ours to
  // replace with the default that stood in for it.
  std::erase_if(all, [&](const TRegValue& value) {
    return std::find(FUnreadable.begin(), FUnreadable.end(), value.Name) != FUnreadable.end() &&
           Unchanged(value.Name, values, FValues);
  });
  registry.WriteValues(all);
}

std::string TStoredSettings::RestoreToken() const {
  TRegistry registry;
  try {
    if (registry.OpenKey(kSettingsKey, false) && registry.ValueExists(kScreenCastToken))
      return registry.ReadString(kScreenCastToken);
  } catch (const Exception&) {
    // No usable token: the desktop asks again.
  }
  return std::string();
}

void TStoredSettings::SaveToken(const std::string& token, const TSettingsValues& values) {
  TRegistry registry;
  if (!registry.OpenKey(kSettingsKey, true))
    throw Exception(std::string("Failed to set data for '") + kScreenCastToken + "'");
  std::vector<TRegValue> written;
  for (TRegValue& value : AllValues(values))
    if (!registry.ValueExists(value.Name)) written.push_back(std::move(value));
  written.push_back(TRegistry::StringValue(kScreenCastToken, token));
  registry.WriteValues(written);
}
