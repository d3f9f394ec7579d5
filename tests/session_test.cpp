// The recording session without a window: every change of state, those
// refused included, what each state offers the window, the settings as the
// registry keeps them, and the compression list.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "base/exception.h"
#include "base/file.h"
#include "compression_choice.h"
#include "platform/registry.h"
#include "recording_session.h"
#include "sample_pictures.h"
#include "stored_settings.h"
#include "test_support.h"
#include "writer/AviFileWriter.h"

namespace {

using TState = TSessionState;
constexpr int64_t kSecond = 1000000000;

// Sound that a test controls: what it says went wrong, and whether it can
// be completed.
class TFakeSound : public TSoundCapture {
 public:
  explicit TFakeSound(bool& stopped) : FStopped(stopped) {}
  int64_t Frames() const override { return 0; }
  std::vector<TSoundClock> Clock() const override { return {}; }
  float TakeLevel() override { return 0.5f; }
  std::string TakeFailure() override { return std::exchange(Failure, std::string()); }
  void Stop() override {
    FStopped = true;
    if (!StopFailure.empty()) throw Exception(StopFailure);
  }
  std::string Failure;
  std::string StopFailure;

 private:
  bool& FStopped;
};

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() : Temp("TMPDIR", Folder.Path().c_str()), Config("XDG_CONFIG_HOME", Folder.Path().c_str()) {}

  TRecordingStart Start(int64_t now = 0, TSoundSource sound = TSoundSource::None) {
    TRecordingStart start;
    start.Started = 1765000000000;
    start.Now = now;
    start.FrameTime = 125;
    start.Area = TRect(10, 20, 74, 68);
    start.Sound = sound;
    return start;
  }
  // A session brought to state the way the window brings it there; its
  // recording has pictures from the Idle state on.
  void Reach(TRecordingSession& session, TState state) {
    if (state == TState::CountingDown) {
      ASSERT_TRUE(session.StartCountdown());
      return;
    }
    ASSERT_TRUE(session.Begin(Start()));
    if (state == TState::Paused) {
      ASSERT_TRUE(session.Pause(kSecond));
    }
    if (state == TState::Halted) {
      ASSERT_TRUE(session.Halt());
    }
    if (state == TState::Recording || state == TState::Paused || state == TState::Halted) return;
    ASSERT_FALSE(session.AddPicture(Picture, true, 1, 125).empty());
    ASSERT_TRUE(session.Stop(125));
    if (state == TState::Exporting) {
      ASSERT_TRUE(session.BeginExport(Folder.File("video.avi")));
    }
  }
  std::vector<std::string> Folders() { return EverythingUnder(RecordingsFolder()); }

  TTempFolder Folder;
  TScopedEnv Temp;
  TScopedEnv Config;
  const TBitmap Picture = ScreenLikePicture(64, 48, pf32bit);
};

}  // namespace

// Each transition from each state: taken where the state allows it, else
// refused with nothing changed, the pictures on the disk included.
TEST_F(SessionTest, EveryTransitionIsTakenOrRefusedByTheState) {
  const TState all[] = {TState::Idle,   TState::CountingDown, TState::Recording,
                        TState::Paused, TState::Halted,       TState::Exporting};
  // A recording left behind, for Adopt: made before anything is compared.
  std::unique_ptr<TRecordingFolder> left;
  struct TTransition {
    const char* Name;
    std::function<bool(TRecordingSession&)> Take;
    // The state it leads to from each of all, in that order; nullopt: refused.
    std::optional<TState> To[6];
  };
  const std::optional<TState> no;
  const TTransition transitions[] = {
      {"StartCountdown",
       [](TRecordingSession& s) { return s.StartCountdown(); },
       {TState::CountingDown, no, no, no, no, no}},
      {"CancelCountdown",
       [](TRecordingSession& s) { return s.CancelCountdown(); },
       {no, TState::Idle, no, no, no, no}},
      {"Begin",
       [this](TRecordingSession& s) { return s.Begin(Start()); },
       {TState::Recording, TState::Recording, no, no, no, no}},
      {"Pause",
       [](TRecordingSession& s) { return s.Pause(2 * kSecond); },
       {no, no, TState::Paused, no, no, no}},
      {"Resume",
       [](TRecordingSession& s) { return s.Resume(2 * kSecond); },
       {no, no, no, TState::Recording, no, no}},
      {"Halt", [](TRecordingSession& s) { return s.Halt(); }, {no, no, TState::Halted, no, no, no}},
      {"Stop",
       [](TRecordingSession& s) { return s.Stop(125); },
       {no, no, TState::Idle, TState::Idle, TState::Idle, no}},
      {"BeginExport",
       [this](TRecordingSession& s) { return s.BeginExport(Folder.File("other.avi")); },
       {TState::Exporting, no, no, no, no, no}},
      {"EndExport",
       [](TRecordingSession& s) { return s.EndExport(false); },
       {no, no, no, no, no, TState::Idle}},
      {"Adopt",
       [&left](TRecordingSession& s) { return s.Adopt(std::move(left)); },
       {TState::Idle, no, no, no, no, no}},
      {"Clear", [](TRecordingSession& s) { return s.Clear(); }, {TState::Idle, no, no, no, no, no}},
  };
  for (const TTransition& transition : transitions)
    for (size_t from = 0; from < 6; ++from) {
      SCOPED_TRACE(std::string(transition.Name) + " from " + StateName(all[from]));
      TRecordingSession session;
      Reach(session, all[from]);
      left = TRecordingFolder::Create(1, 200, TRect(0, 0, 8, 8));
      const std::vector<std::string> frames = session.Frames();
      const std::vector<std::string> before = Folders();
      const bool taken = transition.Take(session);
      EXPECT_EQ(taken, transition.To[from].has_value());
      if (taken) {
        EXPECT_EQ(StateName(session.State()), StateName(*transition.To[from]));
      } else {
        EXPECT_EQ(StateName(session.State()), StateName(all[from]));
        EXPECT_EQ(session.Frames(), frames);
        EXPECT_EQ(Folders(), before);
      }
      if (session.State() == TState::Exporting) session.EndExport(false);
      session.Stop(0);
      session.CancelCountdown();
      session.Clear();
      left.reset();
      std::filesystem::remove_all(RecordingsFolder());  // a refused recording stays for the next start
    }
  // Nothing to export, nothing to adopt: refused too.
  TRecordingSession session;
  EXPECT_FALSE(session.BeginExport(Folder.File("empty.avi")));
  EXPECT_FALSE(session.Adopt(nullptr));
  EXPECT_EQ(session.State(), TState::Idle);
  EXPECT_TRUE(Folders().empty());
}

// A recording keeps its pictures in its folder with their journal and
// times; the time recorded leaves the pauses out; a new one replaces it,
// and Clear takes it all away.
TEST_F(SessionTest, ARecordingKeepsItsPicturesTimesAndPauses) {
  TRecordingSession session;
  ASSERT_TRUE(session.Begin(Start(10 * kSecond)));
  const std::string first = session.AddPicture(Picture, true, 10 * kSecond, 125);
  const std::string second = session.AddPicture(Picture, false, 11 * kSecond, 200);
  EXPECT_TRUE(first.ends_with(".jpg") && second.ends_with(".bmp"));
  EXPECT_EQ(session.FrameSize(), static_cast<int64_t>(std::filesystem::file_size(first)));
  EXPECT_EQ(session.BytesOnDisk(),
            static_cast<int64_t>(std::filesystem::file_size(first) + std::filesystem::file_size(second)));
  EXPECT_EQ(session.Folder()->Journal().Pictures, session.Frames());
  EXPECT_EQ(session.Folder()->Journal().FrameTime, 200);  // the newest rate, for a recovered export
  EXPECT_EQ(session.Area(), TRect(10, 20, 74, 68));
  EXPECT_EQ(session.RecordedTime(12 * kSecond), 2000);
  ASSERT_TRUE(session.Pause(12 * kSecond));
  EXPECT_EQ(session.AddPicture(Picture, true, 13 * kSecond, 125), "");  // no pictures while paused
  EXPECT_EQ(session.RecordedTime(14 * kSecond), 2000);
  ASSERT_TRUE(session.Resume(15 * kSecond));
  EXPECT_EQ(session.RecordedTime(16 * kSecond), 3000);
  // A failed picture halts it; the picture of that very tick is still kept.
  ASSERT_TRUE(session.Halt());
  EXPECT_FALSE(session.AddPicture(Picture, true, 16 * kSecond, 125).empty());
  ASSERT_TRUE(session.Stop(125));
  EXPECT_EQ(session.PictureTimes(), (std::vector<int64_t>{10 * kSecond, 11 * kSecond, 16 * kSecond}));
  EXPECT_EQ(session.FrameCount(), 3);

  const std::string folder = session.Folder()->Path();
  ASSERT_TRUE(session.Begin(Start()));
  EXPECT_FALSE(std::filesystem::exists(first));
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_EQ(session.FrameCount(), 0);
  EXPECT_EQ(session.FrameSize(), 0);
  session.AddPicture(Picture, true, 1, 125);
  session.Stop(125);
  ASSERT_TRUE(session.Clear());
  EXPECT_TRUE(Folders().empty());
}

// What a new recording needs comes first: a sound that cannot start, or a
// folder that cannot be made, leaves the recording before as it was.
TEST_F(SessionTest, ARecordingThatCannotStartKeepsTheOneBefore) {
  bool stopped = false;
  TFakeSound* sound = nullptr;
  bool soundStarts = false;
  TRecordingSession session(
      [&](TSoundSource source, const std::string& path) -> std::unique_ptr<TSoundCapture> {
        if (!soundStarts) throw Exception("No " + SoundSourceName(source) + " to record");
        EXPECT_TRUE(path.ends_with("/sound-captured.wav"));
        auto made = std::make_unique<TFakeSound>(stopped);
        sound = made.get();
        return made;
      });
  ASSERT_TRUE(session.Begin(Start()));
  const std::string kept = session.AddPicture(Picture, true, 1, 125);
  session.Stop(125);
  const std::vector<std::string> before = Folders();
  EXPECT_EQ(Message([&] { session.Begin(Start(0, TSoundSource::Microphone)); }), "No Microphone to record");
  EXPECT_EQ(session.State(), TState::Idle);
  EXPECT_EQ(session.Frames(), std::vector<std::string>{kept});
  EXPECT_EQ(Folders(), before);
  ASSERT_TRUE(session.StartCountdown());
  EXPECT_EQ(Message([&] { session.Begin(Start(0, TSoundSource::Desktop)); }), "No Desktop audio to record");
  EXPECT_EQ(session.State(), TState::CountingDown);
  ASSERT_TRUE(session.CancelCountdown());
  {
    // Another user's file where the recordings go: said, and nothing lost.
    TScopedEnv elsewhere("TMPDIR", Folder.File("missing/deeper").c_str());
    std::ofstream(Folder.File("missing")) << "a file, not a folder";
    EXPECT_NE(Message([&] { session.Begin(Start()); }), "(nothing raised)");
    EXPECT_EQ(session.Frames(), std::vector<std::string>{kept});
    EXPECT_TRUE(std::filesystem::exists(kept));
  }

  // With its sound: what went wrong is told once each, after the pictures.
  soundStarts = true;
  ASSERT_TRUE(session.Begin(Start(0, TSoundSource::Microphone)));
  EXPECT_TRUE(session.HasSound());
  EXPECT_FLOAT_EQ(session.TakeSoundLevel(), 0.5f);
  sound->Failure = "The microphone is gone";
  EXPECT_EQ(session.TakeSoundFailure(), "The microphone is gone");
  EXPECT_EQ(session.TakeSoundFailure(), "");
  sound->StopFailure = "The disk is full";
  ASSERT_TRUE(session.Stop(125));
  EXPECT_TRUE(stopped);
  EXPECT_FALSE(session.HasSound());
  EXPECT_EQ(session.TakeSoundFailure(), "The recording's sound is lost: The disk is full");
  EXPECT_EQ(session.AlignedSound(125), "");  // the video goes without it
  session.Clear();
}

// A saved video takes the recording with it; a failed or cancelled one
// keeps it; the target is in the journal before anything is written. A
// recording left by a program that died is taken over whole.
TEST_F(SessionTest, ExportsAndRecoveredRecordings) {
  TRecordingSession session;
  Reach(session, TState::Exporting);
  EXPECT_EQ(session.Folder()->Journal().Targets, std::vector<std::string>{Folder.File("video.avi")});
  const std::vector<std::string> frames = session.Frames();
  ASSERT_TRUE(session.EndExport(false));
  EXPECT_EQ(session.Frames(), frames);
  EXPECT_TRUE(std::filesystem::exists(frames[0]));
  ASSERT_TRUE(session.BeginExport(Folder.File("video.avi")));
  ASSERT_TRUE(session.EndExport(true));
  EXPECT_EQ(session.FrameCount(), 0);
  EXPECT_TRUE(Folders().empty());

  std::unique_ptr<TRecordingFolder> left = TRecordingFolder::Create(1765000000000, 200, TRect(5, 6, 69, 54));
  std::vector<std::string> pictures;
  for (int i = 0; i < 2; ++i) pictures.push_back(left->NewPictureFile(".bmp"));
  for (const std::string& path : pictures) {
    std::ofstream(path) << "BM";
    left->AddPicture(path);
  }
  ASSERT_TRUE(session.Adopt(std::move(left)));
  EXPECT_EQ(session.Frames(), pictures);
  EXPECT_EQ(session.RecordedFrameTime(), 200);
  EXPECT_EQ(session.Area(), TRect(5, 6, 69, 54));
  EXPECT_EQ(session.BytesOnDisk(), 4);
  EXPECT_TRUE(session.PictureTimes().empty());
  // A recording made here has the rate of its own time.
  ASSERT_TRUE(session.Begin(Start()));
  EXPECT_EQ(session.RecordedFrameTime(), 0);
  session.Stop(0);
  session.Clear();
}

// What the window offers is the state's alone: while a recording runs its
// area cannot be set again, and an area that changes (an overlay closed)
// changes neither Start nor Stop.
TEST_F(SessionTest, TheWindowsControlsFollowTheState) {
  using TKey = TControlStates::TKey;
  struct TRow {
    TState State;
    bool SetArea, Stop, Settings, Pause, CancelsExport;
    const char* Tip;
  } rows[] = {
      {TState::Idle, true, false, true, false, false, "Pelimar"},
      {TState::CountingDown, false, true, true, false, false, "Pelimar: starting"},
      {TState::Recording, false, true, true, true, false, "Pelimar: recording"},
      {TState::Paused, false, true, true, true, false, "Pelimar: paused"},
      {TState::Halted, false, true, true, false, false, "Pelimar: recording stopped by an error"},
      {TState::Exporting, false, false, false, false, true, "Pelimar: saving a video"},
  };
  for (const TRow& row : rows)
    for (bool area : {false, true})
      for (bool pictures : {false, true}) {
        SCOPED_TRACE(std::string(StateName(row.State)) + (area ? " area" : "") +
                     (pictures ? " pictures" : ""));
        const TControlStates c = ControlsFor(row.State, area, pictures, true);
        const bool idle = row.State == TState::Idle;
        EXPECT_EQ(c.SetArea, row.SetArea);
        EXPECT_EQ(c.Start, idle && area);
        EXPECT_EQ(c.Stop, row.Stop);
        EXPECT_EQ(c.Save, (idle && pictures) || row.State == TState::Exporting);
        EXPECT_EQ(c.Settings, row.Settings);
        EXPECT_EQ(c.Pause, row.Pause);
        EXPECT_EQ(c.Resumes, row.State == TState::Paused);
        EXPECT_EQ(c.CancelsExport, row.CancelsExport);
        EXPECT_EQ(c.SoundLevel, row.State == TState::Recording || row.State == TState::Paused);
        EXPECT_STREQ(c.TrayTip, row.Tip);
        EXPECT_EQ(c.StartStop, row.Stop ? TKey::Stop : c.Start ? TKey::Start : TKey::None);
      }
  EXPECT_FALSE(ControlsFor(TState::Recording, true, true, false).SoundLevel);  // only with sound
  EXPECT_STREQ(ControlsFor(TState::Paused, true, true, false).Progress, "Paused...");
  EXPECT_STREQ(ControlsFor(TState::CountingDown, true, true, false).Progress, "Starting...");
  EXPECT_STREQ(ControlsFor(TState::Recording, true, true, false).Progress, "");
  EXPECT_EQ(ControlsFor(TState::Idle, true, true, false).Progress, nullptr);  // "Done..." stays
  EXPECT_STREQ(ControlsFor(TState::Paused, true, true, false).TrayIcon, "pause");
  EXPECT_STREQ(ControlsFor(TState::Recording, true, true, false).TrayIcon, "record");
}

// The values that came after the first seven are read on their own: a
// stored depth the writer refuses, or a garbled rate, stops only the first
// ones. One that is there but cannot be read stays as the user left it.
TEST_F(SessionTest, LaterSettingsAreReadWhateverBecameOfTheFirstOnes) {
  auto write = [](const std::string& values) {
    std::filesystem::create_directories(std::filesystem::path(HivePath()).parent_path());
    std::ofstream(HivePath(), std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\software\\quorvane\\Sorvek]\r\n"
        << values;
  };
  const std::string later =
      "\"Sound\"=dword:00000002\r\n\"RecordingDelay\"=dword:00000003\r\n\"HideWhileRecording\"=dword:"
      "00000001\r\n"
      "\"HotkeyStartStop\"=\"Alt+F5\"\r\n\"HotkeyPauseResume\"=\"\"\r\n";
  write("\"IncludeCursor\"=dword:00000000\r\n\"UseJpegFormat\"=dword:00000000\r\n\"FPS\"=\"12\"\r\n" + later);
  TStoredSettings stored;
  stored.Load();
  EXPECT_EQ(stored.Failure(), "Invalid data type for 'FPS'");
  EXPECT_EQ(stored.InOrderRead(), 2);
  EXPECT_FALSE(stored.Values().IncludeCursor);
  EXPECT_EQ(stored.Values().FPS, 8);
  EXPECT_EQ(stored.Values().Sound, 2);
  EXPECT_EQ(stored.Values().RecordingDelay, 3);
  EXPECT_TRUE(stored.Values().HideWhileRecording);
  EXPECT_EQ(stored.Values().HotkeyStartStop, "Alt+F5");
  EXPECT_EQ(stored.Values().HotkeyPauseResume, "");

  // Unreadable later values: the defaults stand in, and they are not
  // written over them unless changed.
  write(
      "\"IncludeCursor\"=dword:00000001\r\n\"Sound\"=\"loud\"\r\n\"RecordingDelay\"=hex(4):01\r\n"
      "\"HotkeyStartStop\"=dword:00000001\r\n");
  stored.Load();
  EXPECT_EQ(stored.Failure(), "Failed to get data for 'UseJpegFormat'");
  EXPECT_EQ(stored.Values().Sound, 0);
  EXPECT_EQ(stored.Values().HotkeyStartStop, "Ctrl+Shift+F9");
  TSettingsValues values = stored.Values();
  values.RecordingDelay = 4;
  stored.Save(values);
  const std::string text = ReadText(HivePath());
  EXPECT_NE(text.find("\"Sound\"=\"loud\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"HotkeyStartStop\"=dword:00000001"), std::string::npos) << text;
  EXPECT_NE(text.find("\"RecordingDelay\"=dword:00000004"), std::string::npos) << text;
  EXPECT_NE(text.find("\"HotkeyPauseResume\"=\"Ctrl+Shift+F10\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"UseJpegFormat\"=dword:00000001"), std::string::npos) << text;
}

// The desktop's token kept before the program ever closed: the key it
// makes holds every value, so the next start reads them all.
TEST_F(SessionTest, ATokenKeptBeforeTheFirstCloseBringsEveryValue) {
  TStoredSettings stored;
  stored.Load();
  TSettingsValues values;
  values.FPS = 12;
  stored.SaveToken("token-1", values);
  TStoredSettings next;
  next.Load();
  EXPECT_EQ(next.Failure(), "");
  EXPECT_EQ(next.InOrderRead(), 6);
  EXPECT_TRUE(next.ShowAreaRead());
  EXPECT_EQ(next.Values().FPS, 12);
  EXPECT_EQ(next.RestoreToken(), "token-1");
  // A later token leaves the values as they stand.
  values.FPS = 3;
  next.SaveToken("token-2", values);
  next.Load();
  EXPECT_EQ(next.Values().FPS, 12);
  EXPECT_EQ(next.RestoreToken(), "token-2");
}

// The compression list is the same whatever size the last video had, so a
// choice keeps its place; a compressor that cannot take a recording's
// size says what it needs.
TEST_F(SessionTest, TheCompressionListKeepsItsLinesAndSaysWhatEachNeeds) {
  TAviFileWriter writer;
  writer.SetPixelFormat(pf32bit);
  writer.SetWidth(128);
  writer.SetHeight(102);
  const std::vector<std::string> lines = CompressionLines(writer);
  writer.SetWidth(401);
  writer.SetHeight(261);
  EXPECT_EQ(CompressionLines(writer), lines);
  EXPECT_EQ(writer.Width(), 401);
  EXPECT_EQ(writer.Height(), 261);
  auto line = [&lines](const char* code) {
    for (const std::string& l : lines)
      if (l.starts_with(code)) return l;
    return std::string();
  };
  ASSERT_EQ(lines[0], "No Compression");
  ASSERT_NE(line("H264"), "");
  ASSERT_NE(line("MSVC"), "");  // wants sides that are multiples of 4, listed all the same
  EXPECT_EQ(CompressionNeed(writer, line("H264"), TPoint{401, 261}), "needs even sides");
  EXPECT_EQ(CompressionNeed(writer, line("H264"), TPoint{402, 262}), "");
  EXPECT_EQ(CompressionNeed(writer, line("MSVC"), TPoint{402, 262}), "needs sides that are multiples of 4");
  EXPECT_EQ(CompressionNeed(writer, line("MJPG"), TPoint{401, 261}), "");
  EXPECT_EQ(CompressionNeed(writer, lines[0], TPoint{401, 261}), "");
  EXPECT_EQ(MarkedLine(line("H264"), "needs even sides"), line("H264") + " (needs even sides)");
  EXPECT_EQ(MarkedLine(line("MJPG"), ""), line("MJPG"));
}
