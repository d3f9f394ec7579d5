// Recordings that a program which died left behind, offered back at the
// next start.
#include <unistd.h>
#include <QApplication>
#include <QDateTime>
#include <QLineEdit>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "Main_F.h"
#include "base/file.h"
#include "frame_store.h"
#include "platform/recording_folder.h"
#include "qt_test_support.h"
#include "sample_pictures.h"
#include "save_dialog.h"
#include "test_support.h"

class TestRecovery : public QObject {
  Q_OBJECT

 public:
  TestRecovery(const TXServer&, const TTempFolder& temp) : Temp(&temp) {}

 private:
  const TTempFolder* Temp;
  std::unique_ptr<TMainForm> Form;

  // Answers the offers of abandoned recordings with the buttons named, in
  // turn, keeping their texts; a "Save..." is followed by the file dialog,
  // answered with path (cancelled when it is empty).
  void AnswerOffers(const QStringList& answers, QStringList& texts, const std::string& path) {
    texts.clear();
    for (QTimer* earlier : Polls) delete earlier;
    Polls.clear();
    auto* poll = new QTimer;
    auto left = std::make_shared<QStringList>(answers);
    QObject::connect(poll, &QTimer::timeout, [this, poll, left, &texts, path] {
      if (Form->SaveDialog1->isVisible()) {
        // Answered once it has settled, as a user would.
        if (!poll->property("dialog").toBool()) {
          poll->setProperty("dialog", true);
          QTimer::singleShot(100, Form.get(), [this, poll, path] {
            if (path.empty()) {
              Form->SaveDialog1->reject();
            } else {
              // The name field has the focus here, which selectFile leaves alone.
              Form->SaveDialog1->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(path));
              static_cast<QDialog*>(Form->SaveDialog1)->accept();
            }
            poll->setProperty("dialog", false);
          });
        }
        return;
      }
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      if (!box->text().startsWith("A recording of")) {
        box->button(QMessageBox::Yes) ? box->button(QMessageBox::Yes)->click() : box->accept();
        return;
      }
      texts << box->text();
      const QString answer = left->isEmpty() ? QString("Later") : left->takeFirst();
      for (QAbstractButton* button : box->buttons())
        if (button->text() == answer) button->click();
      if (left->isEmpty()) poll->setInterval(20);
    });
    poll->start(5);
    Polls.push_back(poll);
  }
  std::vector<QTimer*> Polls;

 private slots:
  void init() { StartWindow(Form); }
  void cleanup() {
    for (QTimer* poll : Polls) delete poll;
    Polls.clear();
    CloseWindow(Form);
    QVERIFY(EverythingUnder(RecordingsFolder()).empty());
  }

  // Recordings left by programs that died are offered one after the other,
  // the half-written files of their exports removed as they are offered.
  void AbandonedRecordingsAreOfferedOneAfterAnother() {
    const std::string target = Temp->File("dead.avi");
    std::vector<std::string> folders;
    for (int pictures : {3, 2, 4}) {
      std::unique_ptr<TRecordingFolder> recording =
          TRecordingFolder::Create(1765000000000 + pictures * 1000, 200, TRect(0, 0, 64, 48));
      for (int i = 0; i < pictures; ++i)
        recording->AddPicture(StorePicture(*recording, Numbered(64, 48, i), true));
      if (pictures == 2) {
        recording->AddTarget(target);
        std::ofstream(recording->Path() + kIntermediateFileName) << "half";
        std::string half = SaveTemporaryPattern(target);
        ::close(mkstemp(half.data()));
      }
      if (pictures == 4) std::filesystem::remove(recording->Journal().Pictures[1]);  // lost with a disk, say
      folders.push_back(recording->Path());
    }  // each object goes as its program would: the lock with it, the folder stays
    auto when = [](int pictures) {
      return QDateTime::fromMSecsSinceEpoch(1765000000000 + pictures * 1000).toString("yyyy-MM-dd HH:mm:ss");
    };
    const std::string path = Temp->File("offered.avi");
    QStringList texts;
    AnswerOffers({"Later", "Discard", "Save..."}, texts, path);
    Form->OfferAbandonedRecordings();
    QCOMPARE(texts, (QStringList{QString("A recording of 2 pictures from %1 was not saved.").arg(when(2)),
                                 QString("A recording of 3 pictures from %1 was not saved.").arg(when(3)),
                                 QString("A recording of 3 pictures from %1 was not saved; 1 of its pictures "
                                         "is missing.")
                                     .arg(when(4))}));
    // Later: kept, with what its export half-wrote gone. Discard: gone.
    // Save...: saved at its own rate (200 ms), the missing picture's time
    // kept by the one before it, then cleared as usual.
    QVERIFY(std::filesystem::exists(folders[1]));
    QVERIFY(!std::filesystem::exists(folders[0]));
    QVERIFY(!std::filesystem::exists(folders[2]));
    QVERIFY(!std::filesystem::exists(folders[1] + kIntermediateFileName));
    for (const std::string& file : EverythingUnder(Temp->Path()))
      QVERIFY2(file.find(".dead.avi.pelimar-") == std::string::npos, file.c_str());
    QVERIFY(ProbeVideo(path).find("width=64\nheight=48\ntime_base=1/5\nnb_read_frames=4") !=
            std::string::npos);
    QVERIFY(Form->Frames().empty());

    // Offered again at the next start; a save given up in its dialog leaves
    // it in the window, to be saved from there.
    AnswerOffers({"Save..."}, texts, "");
    Form->OfferAbandonedRecordings();
    QCOMPARE(texts.size(), 1);
    QCOMPARE(Form->FrameCount(), 2);
    QVERIFY(Form->SaveBtn->isEnabled());
    QCOMPARE(Form->frameslabel->text(), QString("Pictures: 2 st."));
    QVERIFY(TRecordingFolder::Abandoned().empty());  // it is this program's now
    TMessageBoxes replace(QMessageBox::Yes);
    SaveRecording(*Form, path);
    QCOMPARE(replace.Texts.size(), 1);
    QVERIFY(ProbeVideo(path).find("time_base=1/5\nnb_read_frames=2") != std::string::npos);
    QVERIFY(EverythingUnder(RecordingsFolder()).empty());
  }
};

int main(int argc, char** argv) {
  return RunQtSuite<TestRecovery>(argc, argv, 1024, 768);
}

#include "recovery_test.moc"
