// The writer's audio track: WAV files placed at their delays, cut where the
// next begins, gaps filled with silence; read back with ffmpeg, sample for
// sample.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>

#include "base/exception.h"
#include "base/file.h"
#include "base/wintypes.h"
#include "test_support.h"
#include "vfw/vfw.h"
#include "writer/AviFileWriter.h"
#include "writer/Silence.h"

namespace {

class AudioTest : public ::testing::Test {
 protected:
  AudioTest() : Tmp("TMPDIR", Folder.Path().c_str()), Display("DISPLAY", "") {}
  TTempFolder Folder;
  TScopedEnv Tmp;
  TScopedEnv Display;  // the writer's default size needs no screen
};

// A PCM WAV file whose frame i, channel c holds a value that names the
// file (id) and the frame. blockAlign 0 means channels x bytes per sample.
void WriteWav(const std::string& path, int id, uint32_t rate, uint16_t channels, uint16_t bits,
              uint32_t frames, uint16_t blockAlign = 0) {
  const uint16_t align = blockAlign ? blockAlign : static_cast<uint16_t>(channels * bits / 8);
  std::vector<uint8_t> data(size_t{frames} * align, 0);
  for (uint32_t i = 0; i < frames; ++i)
    for (uint16_t c = 0; c < channels; ++c) {
      uint8_t* at = &data[size_t{i} * align + size_t{c} * (bits / 8)];
      if (bits == 8) {
        *at = static_cast<uint8_t>(id * 40 + (i + c) % 37);
      } else {
        PutLE16(at, static_cast<uint16_t>(id * 10000 + static_cast<int>((i * 2 + c) % 9973)));
      }
    }
  std::vector<uint8_t> file(44);
  std::memcpy(&file[0], "RIFF", 4);
  PutLE32(&file[4], static_cast<uint32_t>(36 + data.size()));
  std::memcpy(&file[8], "WAVEfmt ", 8);
  PutLE32(&file[16], 16);
  PutLE16(&file[20], 1);
  PutLE16(&file[22], channels);
  PutLE32(&file[24], rate);
  PutLE32(&file[28], rate * align);
  PutLE16(&file[32], align);
  PutLE16(&file[34], bits);
  std::memcpy(&file[36], "data", 4);
  PutLE32(&file[40], static_cast<uint32_t>(data.size()));
  file.insert(file.end(), data.begin(), data.end());
  TFile out(path, TFile::TMode::Create);
  out.Write(file.data(), file.size());
  out.Close();
}

// The PCM of a WAV file's frames [from, to), as bytes.
std::string WavBytes(int id, uint16_t channels, uint16_t bits, uint32_t from, uint32_t to) {
  std::string bytes;
  for (uint32_t i = from; i < to; ++i)
    for (uint16_t c = 0; c < channels; ++c) {
      if (bits == 8) {
        bytes += static_cast<char>(id * 40 + (i + c) % 37);
      } else {
        const auto v = static_cast<uint16_t>(id * 10000 + static_cast<int>((i * 2 + c) % 9973));
        bytes += static_cast<char>(v & 0xFF);
        bytes += static_cast<char>(v >> 8);
      }
    }
  return bytes;
}

// frames of the silence block for a format, repeated from its start.
std::string SilenceBytes(uint32_t rate, uint16_t channels, uint16_t bits, uint32_t frames) {
  WAVEFORMATEX format{};
  format.nChannels = channels;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = bits;
  const uint8_t* block = nullptr;
  size_t size = 0;
  GetSilenceBlock(format, block, size);
  const size_t frameBytes = size_t{channels} * bits / 8;
  std::string bytes;
  for (uint32_t i = 0; i < frames; ++i)
    bytes.append(reinterpret_cast<const char*>(block) + (i % 16) * frameBytes, frameBytes);
  return bytes;
}

// A short video written on the fly, with the given audio set up first.
void WriteOnTheFly(const std::string& path, const std::function<void(TAviFileWriter&)>& audio) {
  TAviFileWriter writer;
  writer.SetWidth(32);
  writer.SetHeight(24);
  writer.SetPixelFormat(pf24bit);
  writer.SetFrameTime(100);
  writer.Setfilename(path);
  writer.InitVideo();
  for (int i = 0; i < 3; ++i) writer.AddFrame(TBitmap(32, 24, pf24bit));
  writer.FinalizeVideo();
  audio(writer);
  writer.WriteAvi();
}

// The audio track as ffmpeg decodes it, in the file's own sample format.
std::string AudioOf(const std::string& path, uint16_t bits) {
  const std::string codec = bits == 8 ? "-f u8 -c:a pcm_u8" : "-f s16le -c:a pcm_s16le";
  return RunCommand("ffmpeg -v error -i '" + path + "' -map 0:a:0 " + codec + " -");
}

// The sizes of the audio chunks ("01wb"), in file order, from the file's
// idx1 index: ffprobe would show large chunks split into packets.
std::vector<uint32_t> AudioChunkSizes(const std::string& path) {
  TFile file(path, TFile::TMode::Read);
  std::string bytes(static_cast<size_t>(file.Size()), '\0');
  file.ReadAt(0, bytes.data(), bytes.size());
  std::vector<uint32_t> sizes;
  const size_t index = bytes.rfind("idx1");
  if (index == std::string::npos) return sizes;
  const uint32_t length = GetLE32(reinterpret_cast<const uint8_t*>(&bytes[index + 4]));
  for (size_t at = index + 8; at + 16 <= index + 8 + length && at + 16 <= bytes.size(); at += 16)
    if (bytes.compare(at, 4, "01wb") == 0)
      sizes.push_back(GetLE32(reinterpret_cast<const uint8_t*>(&bytes[at + 12])));
  return sizes;
}

}  // namespace

TEST(Silence, BlocksExistForTheListedFormatsOnly) {
  auto block = [](uint16_t channels, uint16_t bits, uint32_t rate) {
    WAVEFORMATEX format{};
    format.wFormatTag = 85;  // not looked at
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    const uint8_t* data = nullptr;
    size_t size = 0;
    GetSilenceBlock(format, data, size);
    return std::string(reinterpret_cast<const char*>(data ? data : reinterpret_cast<const uint8_t*>("")),
                       size);
  };
  for (uint32_t rate : {48000u, 44100u, 32075u, 32000u, 22050u, 16000u, 11025u}) {
    EXPECT_EQ(block(2, 16, rate).size(), 64u) << rate;
    EXPECT_EQ(block(2, 8, rate).size(), 32u) << rate;
    EXPECT_EQ(block(1, 8, rate).size(), 16u) << rate;
    EXPECT_EQ(block(1, 16, rate).size(), rate == 32075 ? 0u : 32u) << rate;
  }
  for (uint32_t rate : {8000u, 96000u, 44101u}) EXPECT_EQ(block(2, 16, rate).size(), 0u);
  EXPECT_EQ(block(3, 16, 44100).size(), 0u);
  EXPECT_EQ(block(2, 24, 44100).size(), 0u);
  // Signed little-endian samples, left first; 8-bit blocks of one value.
  const std::string stereo = block(2, 16, 22050);
  EXPECT_EQ(stereo.substr(0, 8), std::string("\xff\xff\x06\x00\x01\x00\x06\x00", 8));
  EXPECT_EQ(stereo.substr(56, 8), std::string("\x07\x00\x0a\x00\x06\x00\x0a\x00", 8));
  EXPECT_EQ(block(1, 16, 32000).substr(0, 4), std::string("\xff\xff\x00\x00", 4));
  EXPECT_EQ(block(1, 16, 16000).substr(28, 4), std::string("\x08\x00\x09\x00", 4));
  EXPECT_EQ(block(2, 8, 44100), std::string(32, '\x7f'));
  EXPECT_EQ(block(2, 8, 32075), std::string(32, '\x80'));
  EXPECT_EQ(block(1, 8, 32075), std::string(16, '\x7f'));
  EXPECT_EQ(block(1, 8, 16000), std::string(16, '\x80'));
}

TEST(Silence, DelaysBecomeSamplePositionsAsTheExtendedProductTruncates) {
  EXPECT_EQ(DelayToSamples(1000, 48000, 1), 47999);
  EXPECT_EQ(DelayToSamples(1000, 8000, 1), 7999);
  EXPECT_EQ(DelayToSamples(1000, 44100, 1), 44100);
  EXPECT_EQ(DelayToSamples(90, 44100, 1), 3968);
  EXPECT_EQ(DelayToSamples(500, 44100, 1), 22050);
  EXPECT_EQ(DelayToSamples(0, 48000, 1), 0);
  // Block-aligned streams give their rate as bytes per second over the block size.
  EXPECT_EQ(DelayToSamples(1000, 176400, 4), 44100);
}

TEST_F(AudioTest, WavNamesAreCheckedByTheirExtension) {
  TAviFileWriter writer;
  writer.SetWavFileName("/music/Tune.WAV");
  EXPECT_EQ(writer.WavFileName(), "/music/Tune.WAV");
  EXPECT_EQ(Message([&] { writer.SetWavFileName("/music/tune.mp3"); }),
            "WavFileName must name a file with the .wav extension");
  EXPECT_EQ(Message([&] { writer.SetWavFileName("/music/tune.wav.bak"); }),
            "WavFileName must name a file with the .wav extension");
  EXPECT_EQ(Message([&] { writer.SetWavFileName("/music.wav/tune"); }),
            "WavFileName must name a file with the .wav extension");
  EXPECT_EQ(writer.WavFileName(), "/music/Tune.WAV");
  writer.SetWavFileName("/MUSIC/tune.wav");  // the same but for letter case: kept as it was
  EXPECT_EQ(writer.WavFileName(), "/music/Tune.WAV");
  writer.SetWavFileName("");
  EXPECT_EQ(writer.WavFileName(), "");

  EXPECT_EQ(Message([&] { writer.AddWaveFile("", 0); }),
            "WavFileName must name a file with the .wav extension");
  EXPECT_EQ(Message([&] { writer.AddWaveFile("/a/b.wave", 0); }),
            "WavFileName must name a file with the .wav extension");
  EXPECT_EQ(Message([&] { writer.AddWaveFile(Folder.File("nowhere.wav"), 0); }), "(nothing raised)");
  EXPECT_EQ(Message([&] { writer.AddWaveFile(Folder.File("early.wav"), -20); }),
            "The audio file " + Folder.File("early.wav") +
                " cannot start 20 ms before the video; its delay must be 0 or more");
}

TEST_F(AudioTest, OneFileOnTheFlyIsTheWholeTrack) {
  WriteWav(Folder.File("one.wav"), 1, 44100, 2, 16, 5000);
  const std::string path = Folder.File("one.avi");
  WriteOnTheFly(path, [&](TAviFileWriter& w) { w.SetWavFileName(Folder.File("one.wav")); });
  EXPECT_TRUE(AudioOf(path, 16) == WavBytes(1, 2, 16, 0, 5000));
}

TEST_F(AudioTest, FilesFollowTheirDelaysWithSilenceBetween) {
  WriteWav(Folder.File("a.wav"), 1, 44100, 2, 16, 22050);
  WriteWav(Folder.File("b.wav"), 2, 44100, 2, 16, 3000);
  WriteWav(Folder.File("long.wav"), 3, 44100, 2, 16, 88200);
  // Half a second of sound, half a second of silence, then the second file.
  std::string path = Folder.File("gap.avi");
  WriteOnTheFly(path, [&](TAviFileWriter& w) {
    w.AddWaveFile(Folder.File("b.wav"), 1000);
    w.AddWaveFile(Folder.File("a.wav"), 0);
  });
  EXPECT_TRUE(AudioOf(path, 16) ==
              WavBytes(1, 2, 16, 0, 22050) + SilenceBytes(44100, 2, 16, 22050) + WavBytes(2, 2, 16, 0, 3000));
  std::vector<uint32_t> chunks = AudioChunkSizes(path);
  ASSERT_EQ(chunks.size(), 1u + 1378 + 1 + 1);
  EXPECT_EQ(chunks[0], 22050u * 4);
  for (size_t i = 1; i <= 1378; ++i) ASSERT_EQ(chunks[i], 64u) << i;
  EXPECT_EQ(chunks[1379], 8u);
  EXPECT_EQ(chunks[1380], 3000u * 4);

  // A longer first file is cut where the second begins.
  path = Folder.File("cut.avi");
  WriteOnTheFly(path, [&](TAviFileWriter& w) {
    w.AddWaveFile(Folder.File("long.wav"), 0);
    w.AddWaveFile(Folder.File("b.wav"), 1000);
  });
  EXPECT_TRUE(AudioOf(path, 16) == WavBytes(3, 2, 16, 0, 44100) + WavBytes(2, 2, 16, 0, 3000));

  // Silence before a first file that starts late.
  path = Folder.File("late.avi");
  WriteOnTheFly(path, [&](TAviFileWriter& w) { w.AddWaveFile(Folder.File("b.wav"), 500); });
  EXPECT_TRUE(AudioOf(path, 16) == SilenceBytes(44100, 2, 16, 22050) + WavBytes(2, 2, 16, 0, 3000));

  // Of files with equal delays only the last in order keeps its samples.
  path = Folder.File("equal.avi");
  WriteOnTheFly(path, [&](TAviFileWriter& w) {
    w.AddWaveFile(Folder.File("a.wav"), 200);
    w.AddWaveFile(Folder.File("b.wav"), 200);
  });
  const std::string audio = AudioOf(path, 16);
  const std::string silence = SilenceBytes(44100, 2, 16, 8820);
  EXPECT_TRUE(audio == silence + WavBytes(2, 2, 16, 0, 3000) ||
              audio == silence + WavBytes(1, 2, 16, 0, 22050));
}

TEST_F(AudioTest, FilesThatDoNotMatchTheFirstAreLeftOut) {
  WriteWav(Folder.File("stereo.wav"), 1, 44100, 2, 16, 44100);
  WriteWav(Folder.File("mono.wav"), 2, 44100, 1, 16, 1000);
  WriteWav(Folder.File("later.wav"), 3, 44100, 2, 16, 1000);
  const std::string path = Folder.File("mixed.avi");
  WriteOnTheFly(path, [&](TAviFileWriter& w) {
    w.AddWaveFile(Folder.File("stereo.wav"), 0);
    w.AddWaveFile(Folder.File("mono.wav"), 100);
    w.AddWaveFile(Folder.File("later.wav"), 300);
  });
  // The stereo file stops where the mono one would begin; silence up to the next.
  EXPECT_TRUE(AudioOf(path, 16) == WavBytes(1, 2, 16, 0, 4410) + SilenceBytes(44100, 2, 16, 13230 - 4410) +
                                       WavBytes(3, 2, 16, 0, 1000));
}

TEST_F(AudioTest, RatesWithoutSilenceLetFilesFollowDirectly) {
  WriteWav(Folder.File("a8k.wav"), 1, 8000, 1, 8, 4000);
  WriteWav(Folder.File("b8k.wav"), 2, 8000, 1, 8, 9000);
  WriteWav(Folder.File("c8k.wav"), 3, 8000, 1, 8, 500);
  std::string path = Folder.File("8k.avi");
  WriteOnTheFly(path, [&](TAviFileWriter& w) {
    w.AddWaveFile(Folder.File("a8k.wav"), 0);
    w.AddWaveFile(Folder.File("b8k.wav"), 1000);  // sample 7999: the gap after a8k is dropped
    w.AddWaveFile(Folder.File("c8k.wav"), 2000);  // sample 15999: b8k is cut to 8000 samples
  });
  EXPECT_TRUE(AudioOf(path, 8) ==
              WavBytes(1, 1, 8, 0, 4000) + WavBytes(2, 1, 8, 0, 8000) + WavBytes(3, 1, 8, 0, 500));

  WriteWav(Folder.File("a48k.wav"), 1, 48000, 2, 16, 100);
  path = Folder.File("48k.avi");
  WriteOnTheFly(path, [&](TAviFileWriter& w) { w.AddWaveFile(Folder.File("a48k.wav"), 1000); });
  EXPECT_TRUE(AudioOf(path, 16) == SilenceBytes(48000, 2, 16, 47999) + WavBytes(1, 2, 16, 0, 100));
}

TEST_F(AudioTest, SamplesLargerThanTheSilenceBlockAreFilledWithItsPattern) {
  // 100-byte sample frames of a format that has a 64-byte block.
  WriteWav(Folder.File("wide.wav"), 1, 44100, 2, 16, 10, 100);
  const std::string path = Folder.File("wide.avi");
  WriteOnTheFly(path, [&](TAviFileWriter& w) { w.AddWaveFile(Folder.File("wide.wav"), 1); });
  PAVIFILE file = nullptr;
  ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr), AVIERR_OK);
  PAVISTREAM stream = nullptr;
  ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), AVIERR_OK);
  ASSERT_EQ(AVIStreamLength(stream), 44 + 10);
  std::string bytes(100, '\0');
  ASSERT_EQ(AVIStreamRead(stream, 0, 1, bytes.data(), 100, nullptr, nullptr), AVIERR_OK);
  const std::string block = SilenceBytes(44100, 2, 16, 16);
  EXPECT_TRUE(bytes == block + block.substr(0, 36));
  AVIStreamRelease(stream);
  AVIFileRelease(file);
}

TEST_F(AudioTest, AStreamWithoutASampleSizeGetsNoSilenceAndNoDivision) {
  // An AVI whose audio chunks are samples of their own sizes (its name
  // only has to end in .wav).
  const std::string source = Folder.File("chunks.wav");
  {
    PAVIFILE file = nullptr;
    ASSERT_EQ(AVIFileOpenA(&file, source.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
    AVISTREAMINFOA info{};
    info.fccType = streamtypeAUDIO;
    info.dwScale = 1152;
    info.dwRate = 44100;
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIFileCreateStreamA(file, &stream, &info), AVIERR_OK);
    WAVEFORMATEX format{1, 2, 44100, 176400, 4, 16, 0};
    ASSERT_EQ(AVIStreamSetFormat(stream, 0, &format, sizeof format), AVIERR_OK);
    for (int i = 0; i < 3; ++i) {
      std::string sample(static_cast<size_t>(10 + i), static_cast<char>('a' + i));
      ASSERT_EQ(
          AVIStreamWrite(stream, i, 1, sample.data(), static_cast<LONG>(sample.size()), 0, nullptr, nullptr),
          AVIERR_OK);
    }
    AVIStreamRelease(stream);
    AVIFileRelease(file);
  }
  const std::string path = Folder.File("chunks.avi");
  WriteOnTheFly(path, [&](TAviFileWriter& w) { w.AddWaveFile(source, 2000); });
  PAVIFILE file = nullptr;
  ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr), AVIERR_OK);
  PAVISTREAM stream = nullptr;
  ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), AVIERR_OK);
  ASSERT_EQ(AVIStreamLength(stream), 3);  // the gap is dropped, the samples kept
  for (int i = 0; i < 3; ++i) {
    LONG bytes = 0;
    std::string sample(32, '\0');
    ASSERT_EQ(AVIStreamRead(stream, i, 1, sample.data(), 32, &bytes, nullptr), AVIERR_OK);
    EXPECT_EQ(sample.substr(0, static_cast<size_t>(bytes)),
              std::string(static_cast<size_t>(10 + i), 'a' + i));
  }
  AVIStreamRelease(stream);
  AVIFileRelease(file);
}

TEST_F(AudioTest, MissingFilesFailOnTheFlyAndAtSaveTime) {
  const std::string missing = Folder.File("missing.wav");
  const std::string path = Folder.File("missing.avi");
  const std::string message =
      Message([&] { WriteOnTheFly(path, [&](TAviFileWriter& w) { w.AddWaveFile(missing, 0); }); });
  EXPECT_EQ(message.rfind("FileOpen failed. Err: $8004406F (", 0), 0u) << message;
  EXPECT_NE(message.find("AviFileWriter.cpp, line "), std::string::npos) << message;
  // The video was closed with the file all the same.
  EXPECT_NE(RunCommand("ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 '" +
                       path + "'"),
            "");

  TAviFileWriter writer;
  writer.SetCompressOnTheFly(false);
  writer.SetWidth(32);
  writer.SetHeight(24);
  writer.SetPixelFormat(pf24bit);
  writer.Setfilename(path);
  writer.SetWavFileName(missing);
  auto record = [&] {
    writer.InitVideo();
    writer.AddFrame(TBitmap(32, 24, pf24bit));
    writer.FinalizeVideo();
    writer.WriteAvi();
  };
  EXPECT_EQ(Message(record), "A disk error occurred while opening the audio file.");
  EXPECT_EQ(writer.WavFileName(), "");
  EXPECT_EQ(Message(record), "(nothing raised)");  // video only now
  EXPECT_EQ(RunCommand("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + path + "'"),
            "video\n");
  // The first listed file stands in for an empty name at save time.
  writer.AddWaveFile(missing, 300);
  EXPECT_EQ(Message(record), "A disk error occurred while opening the audio file.");
}

TEST_F(AudioTest, AtSaveTimeTheWavFileIsInterleavedWithTheVideo) {
  WriteWav(Folder.File("speech.wav"), 1, 22050, 1, 16, 22050 * 3);  // three seconds
  TAviFileWriter writer;
  writer.SetCompressOnTheFly(false);
  writer.SetWidth(64);
  writer.SetHeight(48);
  writer.SetPixelFormat(pf32bit);
  writer.SetFrameTime(125);
  writer.SetCompression("MJPG");
  const std::string path = Folder.File("speech.avi");
  writer.Setfilename(path);
  writer.SetWavFileName(Folder.File("speech.wav"));
  writer.InitVideo();
  for (int i = 0; i < 24; ++i) writer.AddFrame(TBitmap(64, 48, pf32bit));
  writer.FinalizeVideo();
  writer.WriteAvi();
  EXPECT_TRUE(AudioOf(path, 16) == WavBytes(1, 1, 16, 0, 22050 * 3));
  // Audio and video packets alternate through the file rather than one after the other.
  std::istringstream packets(
      RunCommand("ffprobe -v error -show_entries packet=stream_index -of csv=p=0 '" + path + "'"));
  std::string order;  // runs of packets of one stream, as 0 and 1
  int frames = 0;
  for (std::string line; std::getline(packets, line);) {
    frames += line == "0";
    if (order.empty() || order.back() != line[0]) order += line;
  }
  EXPECT_EQ(frames, 24);
  EXPECT_GE(order.size(), 40u) << order;
}
