// The recording folders: private, found again after their program died,
// and safe from what other users of the machine plant in the temporary
// folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "base/exception.h"
#include "base/file.h"
#include "platform/recording_folder.h"
#include "test_support.h"

namespace {

unsigned Mode(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs body in a child process that then dies as a killed program does:
// nothing of its own is cleaned up. The parent goes on once the child has
// run body, while it still lives; Kill ends it.
class TDyingProgram {
 public:
  explicit TDyingProgram(const std::function<void()>& body) {
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("pipe");
    FPid = fork();
    if (FPid == 0) {
      ::close(ready[0]);
      try {
        body();
      } catch (...) {
        _exit(1);  // never on into the parent's tests
      }
      (void)!::write(ready[1], "x", 1);
      for (;;) pause();
    }
    ::close(ready[1]);
    char c;
    (void)!::read(ready[0], &c, 1);
    ::close(ready[0]);
  }
  ~TDyingProgram() { Kill(); }
  void Kill() {
    if (FPid <= 0) return;
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    FPid = -1;
  }

 private:
  pid_t FPid = -1;
};

}  // namespace

TEST(RecordingFolder, EverythingIsPrivateAndTheJournalFollowsTheRecording) {
  TTempFolder temp;
  TScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
  const std::string parent = RecordingsFolder();
  EXPECT_EQ(parent, temp.Path() + "pelimar-" + std::to_string(geteuid()) + "/");
  TTempFolder targets;
  const std::string oddTarget = targets.File("two\nlines 100%.avi");
  {
    std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(1765000000123, 125, TRect(1, 2, 3, 4));
    EXPECT_EQ(recording->Path().rfind(parent + "recording-", 0), 0u);
    const std::string first = recording->NewPictureFile(".jpg");
    const std::string second = recording->NewPictureFile(".bmp");
    EXPECT_EQ(first, recording->Path() + "daw1.jpg");
    EXPECT_EQ(second, recording->Path() + "daw2.bmp");
    recording->AddPicture(first);
    recording->SetFrameTime(50);
    recording->SetArea(TRect(-5, 6, 100, 200));
    {
      // The disk fills in the middle of a line: the line is taken back.
      TFileSizeLimit full(static_cast<unsigned long>(std::filesystem::file_size(recording->Path() + "journal")) + 5);
      EXPECT_THROW(recording->AddPicture(second), Exception);
    }
    recording->AddPicture(second);
    recording->AddTarget(oddTarget);
    recording->AddTarget(oddTarget);  // noted once
    EXPECT_EQ(Mode(parent), 0700u);
    EXPECT_EQ(Mode(recording->Path()), 0700u);
    for (const std::string& file : EverythingUnder(recording->Path()))
      EXPECT_EQ(Mode(file), 0600u) << file;
    // A second program looks for abandoned recordings: this one is alive.
    const pid_t other = fork();
    if (other == 0) _exit(TRecordingFolder::Abandoned().empty() ? 0 : 1);
    int status = -1;
    waitpid(other, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // A journal line cut short by the end of its writer is left out.
    std::ofstream(recording->Path() + "journal", std::ios::app) << "picture daw3.j";
  }
  // The object is gone, its lock too: the recording is offered.
  std::vector<std::unique_ptr<TRecordingFolder>> found = TRecordingFolder::Abandoned();
  ASSERT_EQ(found.size(), 1u);
  const TRecordingJournal& journal = found[0]->Journal();
  EXPECT_EQ(journal.Started, 1765000000123);
  EXPECT_EQ(journal.FrameTime, 50);
  EXPECT_EQ(journal.Area, TRect(-5, 6, 100, 200));
  EXPECT_EQ(journal.Pictures,
            (std::vector<std::string>{found[0]->Path() + "daw1.jpg", found[0]->Path() + "daw2.bmp"}));
  EXPECT_EQ(journal.Targets, std::vector<std::string>{oddTarget});
  // Taken over, it goes on numbering after its last picture.
  EXPECT_EQ(found[0]->NewPictureFile(".jpg"), found[0]->Path() + "daw3.jpg");
  const std::string path = found[0]->Path();
  found[0]->Remove();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(TRecordingFolder::Abandoned().empty());
}

// kill -9 at any moment: what is left is the recording, which is offered
// once its program is gone; the files that program half-wrote go when it
// is offered; folders with nothing to save go without a word.
TEST(RecordingFolder, ARecordingOfAKilledProgramIsOfferedAndItsLeftoversRemoved) {
  TTempFolder temp, targets;
  TScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
  const std::string target = targets.File("video.avi");
  std::ofstream(target) << "the user's earlier video";
  // A save of another, living program to the same name: it holds its lock.
  std::string living = SaveTemporaryPattern(target);
  const int livingFd = mkstemp(living.data());
  ASSERT_GE(livingFd, 0);
  ASSERT_EQ(flock(livingFd, LOCK_EX), 0);
  std::ofstream(targets.File(".video.avi.pelimar-notours")) << "x";  // not a name we make

  std::string folder;
  TDyingProgram saving([&] {
    std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(1000, 200, TRect(0, 0, 64, 48));
    for (int i = 0; i < 3; ++i) recording->AddPicture(recording->NewPictureFile(".jpg"));
    recording->AddTarget(target);
    std::ofstream(recording->Path() + kIntermediateFileName) << "half an intermediate file";
    std::string half = SaveTemporaryPattern(target);
    const int fd = mkstemp(half.data());
    flock(fd, LOCK_EX);
    (void)recording.release();  // a killed program cleans nothing up
  });
  TDyingProgram empty([] { (void)TRecordingFolder::Create(2000, 125, TRect()).release(); });
  EXPECT_TRUE(TRecordingFolder::Abandoned().empty());
  saving.Kill();
  empty.Kill();

  std::vector<std::unique_ptr<TRecordingFolder>> found = TRecordingFolder::Abandoned();
  ASSERT_EQ(found.size(), 1u);  // the empty one is deleted on the way
  EXPECT_EQ(found[0]->Journal().Pictures.size(), 3u);
  EXPECT_EQ(found[0]->Journal().FrameTime, 200);
  EXPECT_TRUE(std::filesystem::exists(found[0]->Path() + kIntermediateFileName));
  found[0]->RemoveLeftovers();
  EXPECT_FALSE(std::filesystem::exists(found[0]->Path() + kIntermediateFileName));
  std::vector<std::string> kept = {targets.File(".video.avi.pelimar-notours"), living, target};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(EverythingUnder(targets.Path()), kept);
  ::close(livingFd);
  // "Later": the recording stays for the next start.
  found.clear();
  ASSERT_EQ(TRecordingFolder::Abandoned().size(), 1u);
  EXPECT_EQ(EverythingUnder(RecordingsFolder()).size(), 5u);  // folder, journal, 3 pictures

  // A folder whose maker died before it began its journal goes.
  const std::string unlocked = RecordingsFolder() + "recording-dead00";
  ASSERT_EQ(mkdir(unlocked.c_str(), 0700), 0);
  std::ofstream(unlocked + "/daw1.jpg") << "x";
  TRecordingFolder::Abandoned();
  EXPECT_FALSE(std::filesystem::exists(unlocked));

  // Killed while the pictures of a saved recording were being deleted, or
  // with none of its pictures left: removed without an offer.
  std::string saved, emptied;
  TDyingProgram deleting([&] {
    std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(3000, 125, TRect(0, 0, 8, 8));
    for (int i = 0; i < 4; ++i) recording->AddPicture(recording->NewPictureFile(".jpg"));
    recording->MarkSaved();
    ::unlink(recording->Journal().Pictures[0].c_str());
    ::unlink(recording->Journal().Pictures[1].c_str());
    (void)recording.release();
  });
  TDyingProgram lost([&] {
    std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(4000, 125, TRect(0, 0, 8, 8));
    recording->AddPicture(recording->NewPictureFile(".jpg"));
    ::unlink(recording->Journal().Pictures[0].c_str());
    (void)recording.release();
  });
  deleting.Kill();
  lost.Kill();
  found = TRecordingFolder::Abandoned();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]->Journal().Started, 1000);
  EXPECT_EQ(EverythingUnder(RecordingsFolder()).size(), 5u);
}

// Another user plants links, folders and files where our folders go, in
// TMPDIR and in /var/tmp; nothing of ours is ever written through them,
// and recording goes on in a folder of ours beside them.
TEST(RecordingFolder, WhatAnotherUserPlantsIsPassedBy) {
  TTestUser other;
  if (!other.Made()) GTEST_SKIP() << "making a second user needs root";
  // A temporary folder like /tmp: anyone may add to it, only owners remove.
  TTempFolder temp;
  ASSERT_EQ(chmod(temp.Path().c_str(), 01777), 0);
  TScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
  const std::string parent = temp.Path() + "pelimar-" + std::to_string(geteuid());
  const std::string aim = temp.Path() + "aim";
  auto refusal = [] { return Message([] { RecordingsFolder(); }); };

  // Their link at our name, their folders at names like our spare ones.
  ASSERT_TRUE(other.Run([&] {
    return symlink(aim.c_str(), parent.c_str()) == 0 && mkdir((parent + "-AAAAAA").c_str(), 0700) == 0 &&
           mkdir((parent + "-AAAAAA/recording-theirs").c_str(), 0700) == 0;
  }));
  ASSERT_EQ(symlink(temp.Path().c_str(), (parent + "-BBBBBB").c_str()), 0);
  const std::string spare = RecordingsFolder();
  EXPECT_EQ(spare.rfind(parent + "-", 0), 0u) << spare;
  EXPECT_EQ(spare.size(), parent.size() + 8);
  EXPECT_NE(spare, parent + "-AAAAAA/");
  EXPECT_EQ(Mode(spare), 0700u);
  EXPECT_EQ(RecordingsFolder(), spare);  // found again, not made anew
  {
    std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(0, 125, TRect());
    EXPECT_EQ(recording->Path().rfind(spare + "recording-", 0), 0u);
    recording->AddPicture(recording->NewPictureFile(".jpg"));
  }
  EXPECT_FALSE(std::filesystem::exists(aim));
  // Once their link is gone, our usual folder comes back, and the
  // recording in the spare one is still found.
  std::filesystem::remove(parent);
  EXPECT_EQ(RecordingsFolder(), parent + "/");
  EXPECT_EQ(RecordingsFolders(), (std::vector<std::string>{parent + "/", spare}));
  std::vector<std::unique_ptr<TRecordingFolder>> found = TRecordingFolder::Abandoned();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]->Path().rfind(spare, 0), 0u);
  found[0]->Remove();
  std::filesystem::remove(parent);

  // Their folder, open to all, at our name: passed by the same way.
  ASSERT_TRUE(other.Run([&] { return mkdir(parent.c_str(), 0777) == 0 && chmod(parent.c_str(), 0777) == 0; }));
  EXPECT_EQ(RecordingsFolder(), spare);
  EXPECT_EQ(refusal(), "(nothing raised)");
  std::filesystem::remove(parent);
  // Our own folder with a mode that lets others in is ours to put right.
  ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
  EXPECT_NE(refusal().find("its mode is 0755, not 0700"), std::string::npos) << refusal();
  EXPECT_NE(refusal().find("Remove it, or set TMPDIR"), std::string::npos) << refusal();
  ASSERT_EQ(chmod(parent.c_str(), 0700), 0);
  EXPECT_EQ(refusal(), "(nothing raised)");
  EXPECT_TRUE(std::filesystem::exists(parent + "-AAAAAA/recording-theirs"));

  // The same in /var/tmp, where recordings go without TMPDIR: the other
  // user is the one recording now, and its folder name was taken first.
  TScopedEnv noTmpdir("TMPDIR", nullptr);
  const std::string theirs = "/var/tmp/pelimar-" + std::to_string(other.Uid());
  auto clear = [&] {
    std::filesystem::remove_all(theirs);
    for (const auto& entry : std::filesystem::directory_iterator("/var/tmp"))
      if (entry.path().string().rfind(theirs + "-", 0) == 0) std::filesystem::remove_all(entry.path());
  };
  clear();
  ASSERT_EQ(symlink(aim.c_str(), theirs.c_str()), 0);
  EXPECT_TRUE(other.Run([&] {
    std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(0, 125, TRect());
    const std::string folder = FolderOf(FolderOf(recording->Path()));
    const bool made = folder.rfind(theirs + "-", 0) == 0 && Mode(folder) == 0700 &&
                      Mode(recording->NewPictureFile(".jpg")) == 0600;
    recording->Remove();
    return made;
  }));
  clear();
  EXPECT_FALSE(std::filesystem::exists(aim));
}
