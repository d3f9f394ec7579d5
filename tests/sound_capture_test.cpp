// Sound recorded from a sound server of the test's own: each source, and
// what happens when the server, the source or the disk goes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/exception.h"
#include "platform/sound_capture.h"
#include "platform/wav_file.h"
#include "sound_server.h"
#include "test_support.h"

namespace {

// The samples a WAV file's header says it holds.
std::vector<int16_t> ReadWav(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() < 44 || std::string(bytes.data(), 4) != "RIFF" ||
      std::string(bytes.data() + 36, 4) != "data")
    return {};
  uint32_t size = 0;
  std::memcpy(&size, bytes.data() + 40, 4);
  size = std::min<uint32_t>(size, static_cast<uint32_t>(bytes.size() - 44));
  std::vector<int16_t> samples(size / 2);
  std::memcpy(samples.data(), bytes.data() + 44, samples.size() * 2);
  return samples;
}

// Seconds of sound that ffprobe finds in the file.
double ProbedSeconds(const std::string& path) {
  return std::stod(RunCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'"));
}

void Wait(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Starts recording and waits until the sound flows: a server's outputs may
// take a moment to run in small steps.
std::unique_ptr<TSoundCapture> Flowing(TSoundSource source, const std::string& wav) {
  std::unique_ptr<TSoundCapture> capture = TSoundCapture::Start(source, wav);
  for (int i = 0; i < 150 && capture->Frames() == 0; ++i) Wait(20);
  return capture;
}

}  // namespace

TEST(SoundCapture, EachSourceRecordsWhatItShould) {
  TSoundServer server;
  TTempFolder temp;
  const std::string low = MakeTone(temp, 440, 8), high = MakeTone(temp, 1500, 8);
  for (TSoundSource source :
       {TSoundSource::Microphone, TSoundSource::Desktop, TSoundSource::MicrophoneAndDesktop}) {
    SCOPED_TRACE(SoundSourceName(source));
    const std::string wav = temp.File(SoundSourceName(source) + ".wav");
    std::unique_ptr<TSoundCapture> capture = Flowing(source, wav);
    server.Play(low, "microphone_feed");
    server.Play(high, "desktop");
    // The microphone hears the low tone, the desktop plays the high one.
    // Two seconds, or up to six until what is recorded so far (the file's
    // header is brought up to date every second) holds each tone the source
    // should hear: on a busy machine the server may bring one of them late.
    const bool mic = source != TSoundSource::Desktop, desktop = source != TSoundSource::Microphone;
    const auto heard = [&](const std::vector<int16_t>& samples) {
      return (!mic || ToneStrength(samples, 48000, 440) > 0.1) &&
             (!desktop || ToneStrength(samples, 48000, 1500) > 0.1);
    };
    float level = 0;
    for (int waited = 0; waited < 60; ++waited, Wait(100)) {
      level = std::max(level, capture->TakeLevel());
      if (waited >= 20 && waited % 5 == 0 && level > 0.3f && heard(ReadWav(wav))) break;
    }
    capture->Stop();
    server.StopPlaying();  // before the next source listens
    EXPECT_EQ(capture->TakeFailure(), "");
    const std::vector<int16_t> samples = ReadWav(wav);
    EXPECT_EQ(int64_t(samples.size()), capture->Frames() * 2);
    EXPECT_GT(samples.size(), 48000u * 2);
    EXPECT_EQ(ToneStrength(samples, 48000, 440) > 0.1, mic);
    EXPECT_EQ(ToneStrength(samples, 48000, 1500) > 0.1, desktop);
    EXPECT_GT(level, 0.3f);
    // The clock: a point a second, each a second of samples after the one before.
    const std::vector<TSoundClock> clock = capture->Clock();
    ASSERT_GE(clock.size(), 1u);
    EXPECT_LT(clock[0].Frame, 48000);
    EXPECT_NEAR(ProbedSeconds(wav), double(capture->Frames()) / 48000, 0.01);
  }
}

TEST(SoundCapture, AMissingServerOrSourceIsNamed) {
  TTempFolder temp;
  {
    TSoundServer empty(false);
    try {
      TSoundCapture::Start(TSoundSource::Microphone, temp.File("a.wav"));
      FAIL() << "started without a microphone";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(),
                "The sound source \"Microphone\" does not exist: the sound server has no default input");
    }
  }
  try {
    TSoundCapture::Start(TSoundSource::Desktop, temp.File("b.wav"));
    FAIL() << "started without a server";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot record the sound \"Desktop audio\": no sound server answers");
  }
  // No file is left of a start that failed.
  EXPECT_EQ(EverythingUnder(temp.Path()).size(), 0u);
}

// The sound so far is kept, and the failure said once, when the source
// goes, the server goes or the disk is full. The desktop's sound goes on
// when the microphone mixed with it goes.
TEST(SoundCapture, WhatWasRecordedStaysWhenTheSoundStops) {
  TTempFolder temp;
  {
    TSoundServer server;
    std::unique_ptr<TSoundCapture> capture = Flowing(TSoundSource::MicrophoneAndDesktop, temp.File("m.wav"));
    Wait(1200);
    server.RemoveMicrophone();
    Wait(300);
    EXPECT_EQ(capture->TakeFailure(),
              "The sound stopped: the sound source \"Microphone\" (microphone) went away");
    EXPECT_EQ(capture->TakeFailure(), "");
    Wait(1000);
    capture->Stop();
    EXPECT_GT(ProbedSeconds(temp.File("m.wav")), 2.1);
  }
  {
    TSoundServer server;
    std::unique_ptr<TSoundCapture> capture = Flowing(TSoundSource::Desktop, temp.File("d.wav"));
    Wait(1200);
    server.Kill();
    Wait(300);
    EXPECT_EQ(capture->TakeFailure(), "The sound stopped: the sound server went away");
    capture->Stop();
    EXPECT_GT(ProbedSeconds(temp.File("d.wav")), 1.1);
  }
  TSmallDisk disk(200);
  if (!disk.Mounted()) GTEST_SKIP() << "a small disk needs root";
  TSoundServer server;
  std::unique_ptr<TSoundCapture> capture = Flowing(TSoundSource::Desktop, disk.Path() + "f.wav");
  Wait(2000);  // 200 KB hold about a second
  const std::string failure = capture->TakeFailure();
  EXPECT_EQ(
      failure.rfind("The sound stopped: The sound file " + disk.Path() + "f.wav could not be written", 0), 0u)
      << failure;
  capture->Stop();
  EXPECT_EQ(capture->TakeFailure(), "");
  EXPECT_GT(ProbedSeconds(disk.Path() + "f.wav"), 0.5);
}

// A program killed while recording leaves a file readable up to its last
// second. The recording runs in a process of its own, this test's program
// started afresh: the sound library refuses to work in a forked copy.
TEST(SoundCapture, AKilledRecordingLeavesAReadableFile) {
  TSoundServer server;
  TTempFolder temp;
  const std::string wav = temp.File("k.wav");
  const pid_t child = fork();
  if (child == 0) {
    setenv("PELIMAR_SOUND_FILE", wav.c_str(), 1);
    execl("/proc/self/exe", "platform_test", "--gtest_also_run_disabled_tests",
          "--gtest_filter=SoundCapture.DISABLED_RecordsUntilKilled", nullptr);
    _exit(127);
  }
  // Killed once two and a half seconds of sound are on the disk.
  const auto size = [&] {
    std::error_code error;
    const uintmax_t bytes = std::filesystem::file_size(wav, error);
    return error ? 0 : bytes;
  };
  for (int i = 0; i < 500 && size() < 44 + 480000; ++i) Wait(20);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  // The header counts the sound up to the last whole second.
  const double counted = double(ReadWav(wav).size()) / (48000 * 2);
  EXPECT_GE(counted, 2.0);
  EXPECT_LT(counted, 2.5);
  EXPECT_NEAR(ProbedSeconds(wav), counted, 0.01);
}

TEST(SoundCapture, DISABLED_RecordsUntilKilled) {
  const char* path = getenv("PELIMAR_SOUND_FILE");
  ASSERT_TRUE(path);
  std::unique_ptr<TSoundCapture> capture = TSoundCapture::Start(TSoundSource::Desktop, path);
  for (;;) pause();
}

// The sound that goes with the pictures: a card whose clock runs 0.2% fast,
// a sound that began 300 ms before the first picture, ticks at 125 ms with
// one 60 ms late and one skipped. Each sample of the captured file holds its
// own frame number, so the aligned file tells where each picture's sound
// came from.
TEST(SoundAlign, EachPictureGetsTheSoundOfItsMoment) {
  TTempFolder temp;
  constexpr int64_t kSecond = 1000000000;
  const double cardRate = 48000 * 1.002;  // frames per second of the system's clock
  {
    TWavFile captured(temp.File("captured.wav"));
    std::vector<int16_t> samples;
    for (int64_t frame = 0; frame < 48000 * 12; ++frame)
      for (int c = 0; c < 2; ++c) samples.push_back(static_cast<int16_t>(frame % 30000));
    ASSERT_TRUE(captured.Append(samples.data(), int64_t(samples.size() / 2)));
    ASSERT_TRUE(captured.Close());
  }
  const int64_t start = 1000 * kSecond;  // when the first sample was taken
  std::vector<TSoundClock> clock;
  for (int64_t s = 0; s < 12; ++s)
    clock.push_back(TSoundClock{std::llround(s * cardRate), start + s * kSecond});
  std::vector<int64_t> pictures;
  for (int i = 0; i < 80; ++i) {
    if (i == 40) continue;  // a skipped tick
    pictures.push_back(start + 300000000 + i * 125000000LL + (i == 20 ? 60000000 : 0));
  }
  AlignSound(temp.File("captured.wav"), clock, pictures, 125, temp.File("aligned.wav"));
  const TWavReader aligned(temp.File("aligned.wav"));
  ASSERT_EQ(aligned.Frames(), int64_t(pictures.size()) * 6000);
  std::vector<int16_t> first(2);
  for (size_t i = 0; i < pictures.size(); ++i) {
    aligned.Read(int64_t(i) * 6000, 1, first.data());
    const double due = double(pictures[i] - start) / kSecond * cardRate;
    // Within a quarter of a frame time (1500 frames) of the picture's moment.
    EXPECT_NEAR(double(first[0]), std::fmod(due, 30000.0), 1500.0) << "picture " << i;
  }
  // No sound before the capture began: silence.
  AlignSound(temp.File("captured.wav"), clock, {start - kSecond / 2}, 1000, temp.File("early.wav"));
  std::vector<int16_t> early(2 * 48000);
  TWavReader(temp.File("early.wav")).Read(0, 48000, early.data());
  EXPECT_EQ(early[2 * 23000], 0);
  EXPECT_NEAR(early[2 * 30000], 30000 - 24048, 2);
}
