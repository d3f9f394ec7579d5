// The tray icon and its menu, under a tray of the tests' own.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <chrono>

#include "Main_F.h"
#include "areaform_f.h"
#include "qt_test_support.h"
#include "settings_f.h"
#include "test_support.h"
#include "test_tray.h"
#include "tray_icon.h"

class TestTray : public TWindowSuite {
  Q_OBJECT

 public:
  using TWindowSuite::TWindowSuite;

 private slots:
  // Under a tray, the icon tells idle, recording and paused, and its menu
  // drives the recording, with the window hidden meanwhile when so set; a
  // left click brings the window back; Quit ends the program.
  void TheTrayMenuDrivesTheRecording() {
    TTestTray tray(Server->Name());
    QTRY_COMPARE(tray.Icons(), 1);  // the icon docks once a tray comes
    QCOMPARE(Form->Tray->Icon->toolTip(), QString("Pelimar"));
    MarkArea(*Form, QPoint(10, 10), QPoint(60, 40));
    SettingsForm->FPSSpin->setValue(20);
    SettingsForm->HideWindowCB->setChecked(true);
    auto choose = [this](QAction* action, const QString& text) {
      RunCommand("xdotool mousemove " + std::to_string(TTestTray::Left + TTestTray::Size / 2) + " " +
                 std::to_string(TTestTray::Top + TTestTray::Size / 2) + " click 3");
      QTRY_VERIFY(Form->Tray->Menu->isVisible());
      QCOMPARE(action->text(), text);
      const QPoint at = Form->Tray->Menu->mapToGlobal(Form->Tray->Menu->actionGeometry(action).center());
      RunCommand("xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) + " click 1");
      QTRY_VERIFY(!Form->Tray->Menu->isVisible());
    };
    choose(Form->Tray->RecordAction, "Start recording");
    QTRY_VERIFY(Form->FrameCount() >= 2);
    QVERIFY(!Form->isVisible());  // never in a picture
    QCOMPARE(Form->Tray->Icon->toolTip(), QString("Pelimar: recording"));
    choose(Form->PauseAction, "Pause recording");
    QTRY_VERIFY(Form->Paused());
    QCOMPARE(Form->Tray->Icon->toolTip(), QString("Pelimar: paused"));
    choose(Form->PauseAction, "Resume recording");
    QTRY_VERIFY(!Form->Paused() && Form->RecordTimer->isActive());
    choose(Form->Tray->RecordAction, "Stop recording");
    QTRY_VERIFY(!Form->StopRecordingBtn->isEnabled());
    QVERIFY(Form->isVisible() && Form->SaveBtn->isEnabled());
    QCOMPARE(Form->Tray->Icon->toolTip(), QString("Pelimar"));
    Form->ClearFrames();
    Form->hide();
    RunCommand("xdotool mousemove " + std::to_string(TTestTray::Left + TTestTray::Size / 2) + " " +
               std::to_string(TTestTray::Top + TTestTray::Size / 2) + " click 1");
    QTRY_VERIFY(Form->isVisible());
    choose(Form->Tray->QuitAction, "Quit");
    QTRY_VERIFY(!Form->isVisible() && !Form->Tray->Icon->isVisible());
  }
};

int main(int argc, char** argv) {
  return RunQtSuite<TestTray>(argc, argv, 1280, 1024);
}

#include "tray_test.moc"
