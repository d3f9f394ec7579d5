// The start/stop and pause/resume keys, whichever window has the focus.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <chrono>

#include "Main_F.h"
#include "areaform_f.h"
#include "hotkeys.h"
#include "platform/global_keys.h"
#include "qt_test_support.h"
#include "save_dialog.h"
#include "settings_f.h"
#include "test_support.h"
#include "tray_icon.h"

class TestHotkeys : public TWindowSuite {
  Q_OBJECT

 public:
  using TWindowSuite::TWindowSuite;

 private slots:
  // The hotkeys work while another program has the focus, Num Lock on or
  // off; a combination that another client holds is said by name, in a box
  // at once and in the settings dialog.
  void HotkeysWorkFromAnotherWindowAndATakenOneIsSaid() {
    QVERIFY2(Form->Hotkeys->Bound(), qPrintable(Form->Hotkeys->Problem()));
    QCOMPARE(TSettingsForm::KeyText(SettingsForm->RecordKeyEdit), QString("Ctrl+Shift+F9"));
    QCOMPARE(TSettingsForm::KeyText(SettingsForm->PauseKeyEdit), QString("Ctrl+Shift+F10"));
    MarkArea(*Form, QPoint(10, 10), QPoint(60, 40));
    SettingsForm->FPSSpin->setValue(20);
    RunCommand("xmessage -name pelimar-other 'another program' >/dev/null 2>&1 & echo $! >" +
               Temp->File("other.pid"));
    const std::string other = RunCommand("xdotool search --sync --classname pelimar-other | head -1");
    RunCommand("xdotool windowfocus --sync " + other);
    RunCommand("xdotool key ctrl+shift+F9");
    QTRY_VERIFY(Form->FrameCount() >= 2);
    RunCommand("xdotool key Num_Lock ctrl+shift+F10 Num_Lock");
    QTRY_VERIFY(Form->Paused());
    QCOMPARE(Form->Tray->Icon->toolTip(), QString("Pelimar: paused"));
    RunCommand("xdotool key ctrl+shift+F10");
    QTRY_VERIFY(!Form->Paused() && Form->RecordTimer->isActive());
    RunCommand("xdotool key ctrl+shift+F9");
    QTRY_VERIFY(!Form->StopRecordingBtn->isEnabled());
    QVERIFY(Form->SaveBtn->isEnabled());
    QCOMPARE(RunCommand("xdotool getwindowfocus"), other);  // the focus never moved
    // While a dialog is open, the keys leave the recording alone.
    const int kept = Form->FrameCount();
    QTimer::singleShot(0, [this, kept] {
      QTRY_VERIFY(Form->SaveDialog1->isVisible());
      RunCommand("xdotool key ctrl+shift+F9");
      QTest::qWait(500);
      QVERIFY(!Form->RecordTimer->isActive() && !Form->CountingDown());
      QCOMPARE(Form->FrameCount(), kept);
      Form->SaveDialog1->reject();
    });
    Form->SaveBtn->click();
    QVERIFY(!Form->RecordTimer->isActive());
    QCOMPARE(Form->FrameCount(), kept);
    RunCommand("kill $(cat " + Temp->File("other.pid") + ")");
    Form->ClearFrames();

    std::unique_ptr<TGlobalKeys> theirs = OpenX11GlobalKeys();
    QVERIFY(theirs->Bind({{"theirs", "Ctrl+Alt+F11", ""}}, {}).empty());
    TSettingsForm::SetKeyText(SettingsForm->RecordKeyEdit, "Ctrl+Alt+F11");
    Form->BindHotkeys();
    QVERIFY(!Form->Hotkeys->Bound());
    QVERIFY2(Form->Hotkeys->Problem().startsWith("Ctrl+Alt+F11 is already taken by another program"),
             qPrintable(Form->Hotkeys->Problem()));
    QCOMPARE(SettingsForm->HotkeysNote->text(), Form->Hotkeys->Problem());
    auto* box = Form->findChild<QMessageBox*>("HotkeyProblemBox");
    QVERIFY(box && box->isVisible() && !box->isModal());
    QCOMPARE(box->text(), Form->Hotkeys->Problem());
    box->close();
    // Once the other program lets go, it can be had.
    theirs.reset();
    Form->BindHotkeys();
    QVERIFY2(Form->Hotkeys->Bound() && Form->Hotkeys->Problem().isEmpty(),
             qPrintable(Form->Hotkeys->Problem()));
    QVERIFY(SettingsForm->HotkeysNote->text().isEmpty());
  }
};

int main(int argc, char** argv) {
  return RunQtSuite<TestHotkeys>(argc, argv, 1280, 1024);
}

#include "hotkeys_test.moc"
