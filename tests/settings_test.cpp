// The settings dialog and the settings kept in the per-user registry from
// one start of the main window to the next.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Main_F.h"
#include "base/exception.h"
#include "platform/registry.h"
#include "qt_test_support.h"
#include "settings_f.h"
#include "test_support.h"
#include "x_server.h"

namespace {

const char* const kKey = "[HKEY_CURRENT_USER\\software\\quorvane\\Sorvek]";

void WriteHive(const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(HivePath()).parent_path());
  std::ofstream(HivePath(), std::ios::binary) << text;
}

// A hive holding the key with the given value lines.
void WriteKey(const std::string& values) {
  WriteHive("Windows Registry Editor Version 5.00\r\n\r\n" + std::string(kKey) + "\r\n" + values);
}

QStringList Lines(QComboBox* list) {
  QStringList lines;
  for (int i = 0; i < list->count(); ++i) lines << list->itemText(i);
  return lines;
}

}  // namespace

class TestSettings : public QObject {
  Q_OBJECT

 public:
  TestSettings(const TXServer&, const TTempFolder&) {}

 private:
  std::unique_ptr<TMainForm> Form;
  std::unique_ptr<TMessageBoxes> Boxes;

  // Starts the main window as the program does, with its error boxes kept.
  void Start() {
    Boxes = std::make_unique<TMessageBoxes>();
    StartWindow(Form, false);
  }
  void Close() { CloseWindow(Form); }
  void VerifyDefaults(bool area = true) {
    QVERIFY(SettingsForm->CursorCB->isChecked());
    QVERIFY(SettingsForm->JpegCB->isChecked());
    QCOMPARE(SettingsForm->FPSSpin->value(), 8);
    QCOMPARE(Form->RecordTimer->interval(), 125);
    QCOMPARE(SettingsForm->VideoSizeCBX->currentText(), QString("320 x 240"));
    QCOMPARE(SettingsForm->PixelFormatCBX->currentText(), QString("32 bit"));
    QCOMPARE(Form->AviWriter->PixelFormat(), pf32bit);
    QCOMPARE(SettingsForm->CompressionCBX->currentIndex(), 0);
    QCOMPARE(SettingsForm->AreaCB->isChecked(), area);
  }

 private slots:
  void init() { std::filesystem::remove(HivePath()); }
  void cleanup() {
    if (Form) Close();
    Boxes.reset();
  }

  void FirstRunKeepsTheDefaultsAndCreatesTheKeyAtClose() {
    Start();
    VerifyDefaults();
    QVERIFY(Boxes->Texts.isEmpty());
    QVERIFY(!std::filesystem::exists(HivePath()));
    Close();
    const std::string text = ReadText(HivePath());
    QVERIFY2(text.find(kKey) != std::string::npos, text.c_str());
    const char* lines[] = {"\"IncludeCursor\"=dword:00000001", "\"UseJpegFormat\"=dword:00000001",
                           "\"FPS\"=dword:00000008",           "\"VideoSize\"=dword:00000001",
                           "\"PixelFormat\"=dword:00000006",   "\"Compression\"=dword:00000000",
                           "\"ShowArea\"=dword:00000001",      "\"RecordingDelay\"=dword:00000000",
                           "\"HideWhileRecording\"=dword:00000000", "\"HotkeyStartStop\"=\"Ctrl+Shift+F9\"",
                           "\"HotkeyPauseResume\"=\"Ctrl+Shift+F10\""};
    size_t at = 0;
    for (const char* line : lines) {  // in the order of writing
      size_t found = text.find(line);
      QVERIFY2(found != std::string::npos && found > at, line);
      at = found;
    }
  }

  void ChangedSettingsComeBackAtTheNextStart() {
    Start();
    SettingsForm->CursorCB->setChecked(false);
    SettingsForm->AreaCB->setChecked(false);
    SettingsForm->FPSSpin->setValue(13);
    SettingsForm->VideoSizeCBX->setCurrentIndex(3);
    SettingsForm->PixelFormatCBX->setCurrentIndex(5);
    SettingsForm->PixelFormatCBXChange();
    const QStringList codecs = Lines(SettingsForm->CompressionCBX);
    QVERIFY(codecs.size() > 2);
    SettingsForm->CompressionCBX->setCurrentIndex(2);
    SettingsForm->DelaySpin->setValue(3);
    SettingsForm->HideWindowCB->setChecked(true);
    TSettingsForm::SetKeyText(SettingsForm->RecordKeyEdit, "Alt+F5");
    TSettingsForm::SetKeyText(SettingsForm->PauseKeyEdit, "");
    Close();
    Start();
    QVERIFY(Boxes->Texts.isEmpty());
    QVERIFY(!SettingsForm->CursorCB->isChecked());
    QVERIFY(SettingsForm->JpegCB->isChecked());
    QVERIFY(!SettingsForm->AreaCB->isChecked());
    QCOMPARE(SettingsForm->FPSSpin->value(), 13);
    QCOMPARE(Form->RecordTimer->interval(), 76);
    QCOMPARE(SettingsForm->VideoSizeCBX->currentIndex(), 3);
    QCOMPARE(SettingsForm->SelectedPixelFormat(), pf24bit);
    QCOMPARE(Form->AviWriter->PixelFormat(), pf24bit);
    QCOMPARE(Lines(SettingsForm->CompressionCBX), codecs);
    QCOMPARE(SettingsForm->CompressionCBX->currentText(), codecs[2]);
    QCOMPARE(SettingsForm->DelaySpin->value(), 3);
    QVERIFY(SettingsForm->HideWindowCB->isChecked());
    QCOMPARE(TSettingsForm::KeyText(SettingsForm->RecordKeyEdit), QString("Alt+F5"));
    QCOMPARE(TSettingsForm::KeyText(SettingsForm->PauseKeyEdit), QString());  // none, as chosen
  }

  void ADepthChangeSetsTheWriterAndEmptiesTheChoiceOfCompressor() {
    Start();
    SettingsForm->CompressionCBX->setCurrentIndex(1);
    // As the user picks "1 bit" in the list.
    SettingsForm->PixelFormatCBX->setCurrentIndex(0);
    emit SettingsForm->PixelFormatCBX->activated(0);
    QCOMPARE(Form->AviWriter->PixelFormat(), pf1bit);
    QCOMPARE(SettingsForm->CompressionCBX->currentIndex(), -1);
    QCOMPARE(SettingsForm->CompressionCBX->itemText(0), QString("No Compression"));
    // A depth the writer refuses leaves writer and list as they were.
    SettingsForm->PixelFormatCBX->setCurrentIndex(2);
    emit SettingsForm->PixelFormatCBX->activated(2);
    SettingsForm->CompressionCBX->setCurrentIndex(1);
    const QStringList codecs = Lines(SettingsForm->CompressionCBX);
    SettingsForm->PixelFormatCBX->setCurrentIndex(4);
    emit SettingsForm->PixelFormatCBX->activated(4);
    QTRY_COMPARE(Boxes->Texts, QStringList{"Pixelformat not supported."});
    QCOMPARE(Boxes->Owners.value(0), Form.get());  // over the always-on-top window, never behind it
    QCOMPARE(SettingsForm->PixelFormatCBX->currentText(), QString("16 bit"));
    QCOMPARE(Form->AviWriter->PixelFormat(), pf8bit);
    QCOMPARE(Lines(SettingsForm->CompressionCBX), codecs);
    QCOMPARE(SettingsForm->CompressionCBX->currentIndex(), 1);
  }

  void AKeyLackingOnlyTheOutlineLoadsEverythingElse() {
    WriteKey(
        "\"IncludeCursor\"=dword:00000000\r\n\"UseJpegFormat\"=dword:00000007\r\n\"FPS\"=dword:00000003\r\n"
        "\"VideoSize\"=dword:00000002\r\n\"PixelFormat\"=dword:00000002\r\n\"Compression\"=dword:"
        "00000001\r\n");
    Start();
    QVERIFY(Boxes->Texts.isEmpty());
    QVERIFY(!SettingsForm->CursorCB->isChecked());
    QVERIFY(SettingsForm->JpegCB->isChecked());  // any value but 0 is checked
    QCOMPARE(Form->RecordTimer->interval(), 333);
    QCOMPARE(SettingsForm->VideoSizeCBX->currentIndex(), 2);
    QCOMPARE(Form->AviWriter->PixelFormat(), pf8bit);
    QCOMPARE(SettingsForm->CompressionCBX->currentIndex(), 1);
    QVERIFY(SettingsForm->AreaCB->isChecked());
  }

  // A read that fails stops the loading there, reports, and the window
  // comes up as usual with the later settings at their defaults.
  void AFailedReadIsReportedAndKeepsTheValuesBeforeIt_data() {
    QTest::addColumn<QString>("values");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("applied");
    QTest::newRow("no rate") << "\"IncludeCursor\"=dword:00000000\r\n\"UseJpegFormat\"=dword:00000000\r\n"
                                "\"VideoSize\"=dword:00000003\r\n\"ShowArea\"=dword:00000000\r\n"
                             << "Failed to get data for 'FPS'" << true;
    QTest::newRow("rate as text")
        << "\"IncludeCursor\"=dword:00000000\r\n\"UseJpegFormat\"=dword:00000000\r\n"
           "\"FPS\"=\"12\"\r\n\"ShowArea\"=dword:00000000\r\n"
        << "Invalid data type for 'FPS'" << true;
    QTest::newRow("long text") << "\"IncludeCursor\"=\"checked, of course\"\r\n"
                               << "Failed to get data for 'IncludeCursor'" << false;
    QTest::newRow("eight bytes") << "\"IncludeCursor\"=hex(b):00,00,00,00,00,00,00,00\r\n"
                                 << "Failed to get data for 'IncludeCursor'" << false;
    QTest::newRow("rate not a number") << "\"IncludeCursor\"=dword:00000000\r\n\"UseJpegFormat\"=dword:00000000\r\n"
                                          "\"FPS\"=hex(zz):08,00,00,00\r\n\"ShowArea\"=dword:00000000\r\n"
                                       << "Failed to get data for 'FPS'" << true;
    QTest::newRow("rate too large") << "\"IncludeCursor\"=dword:00000000\r\n\"UseJpegFormat\"=dword:00000000\r\n"
                                       "\"FPS\"=dword:100000008\r\n"
                                    << "Failed to get data for 'FPS'" << true;
  }
  void AFailedReadIsReportedAndKeepsTheValuesBeforeIt() {
    QFETCH(QString, values);
    QFETCH(QString, message);
    QFETCH(bool, applied);
    WriteKey(values.toStdString());
    Start();
    QCOMPARE(Boxes->Texts, QStringList{message});
    QCOMPARE(SettingsForm->CursorCB->isChecked(), !applied);
    QCOMPARE(SettingsForm->JpegCB->isChecked(), !applied);
    QCOMPARE(SettingsForm->FPSSpin->value(), 8);
    QCOMPARE(Form->RecordTimer->interval(), 125);
    QCOMPARE(SettingsForm->VideoSizeCBX->currentIndex(), 1);
    QCOMPARE(SettingsForm->PixelFormatCBX->currentIndex(), 6);
    QCOMPARE(SettingsForm->CompressionCBX->currentIndex(), 0);
    QVERIFY(SettingsForm->AreaCB->isChecked());
    // The rest of the start went on: the window works.
    QVERIFY(Form->isVisible());
    QVERIFY(Form->SetAreaBtn->isEnabled());
    QCOMPARE(Form->SizeLabel->text(), QString("Disk space: 0  bytes (temp)"));
  }

  // The settings that came after the first seven are read on their own: a
  // stored depth the writer refuses, or a garbled rate, stops only the
  // first ones, and closing keeps what the user had chosen.
  void LaterSettingsSurviveAFailureOfTheFirstOnes_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("message");
    QTest::newRow("16 bit") << "\"IncludeCursor\"=dword:00000001\r\n\"UseJpegFormat\"=dword:00000001\r\n"
                               "\"FPS\"=dword:00000008\r\n\"VideoSize\"=dword:00000001\r\n"
                               "\"PixelFormat\"=dword:00000004\r\n\"Compression\"=dword:00000000\r\n"
                            << "Pixelformat not supported.";
    QTest::newRow("garbled rate") << "\"IncludeCursor\"=dword:00000001\r\n\"UseJpegFormat\"=dword:00000001\r\n"
                                     "\"FPS\"=\"12\"\r\n"
                                  << "Invalid data type for 'FPS'";
  }
  void LaterSettingsSurviveAFailureOfTheFirstOnes() {
    QFETCH(QString, first);
    QFETCH(QString, message);
    WriteKey(first.toStdString() +
             "\"Sound\"=dword:00000002\r\n\"RecordingDelay\"=dword:00000003\r\n"
             "\"HideWhileRecording\"=dword:00000001\r\n\"HotkeyStartStop\"=\"Alt+F5\"\r\n"
             "\"HotkeyPauseResume\"=\"\"\r\n");
    for (int start = 0; start < 2; ++start) {
      Start();
      if (start == 0) QCOMPARE(Boxes->Texts, QStringList{message});  // the rate is written whole at close
      QCOMPARE(SettingsForm->SoundCBX->currentIndex(), 2);
      QCOMPARE(SettingsForm->DelaySpin->value(), 3);
      QVERIFY(SettingsForm->HideWindowCB->isChecked());
      QCOMPARE(TSettingsForm::KeyText(SettingsForm->RecordKeyEdit), QString("Alt+F5"));
      QCOMPARE(TSettingsForm::KeyText(SettingsForm->PauseKeyEdit), QString());
      Close();
    }
    const std::string text = ReadText(HivePath());
    QVERIFY2(text.find("\"Sound\"=dword:00000002") != std::string::npos, text.c_str());
    QVERIFY2(text.find("\"HotkeyStartStop\"=\"Alt+F5\"") != std::string::npos, text.c_str());
  }

  void IndexesOutsideTheListsAndRatesOutsideTheRangeAreHeld() {
    WriteKey(
        "\"IncludeCursor\"=dword:00000001\r\n\"UseJpegFormat\"=dword:00000001\r\n\"FPS\"=dword:00000000\r\n"
        "\"VideoSize\"=dword:ffffffff\r\n\"PixelFormat\"=dword:00000000\r\n\"Compression\"=dword:00000063\r\n"
        "\"ShowArea\"=dword:00000000\r\n");
    Start();
    QVERIFY(Boxes->Texts.isEmpty());
    QCOMPARE(SettingsForm->FPSSpin->value(), 1);
    QCOMPARE(Form->RecordTimer->interval(), 1000);
    QCOMPARE(SettingsForm->VideoSizeCBX->currentIndex(), -1);
    QCOMPARE(Form->AviWriter->PixelFormat(), pf1bit);
    QCOMPARE(SettingsForm->CompressionCBX->currentIndex(), -1);
    QVERIFY(!SettingsForm->AreaCB->isChecked());
    // Nothing selected is kept as -1.
    Close();
    QVERIFY(ReadText(HivePath()).find("\"VideoSize\"=dword:ffffffff") != std::string::npos);
    QVERIFY(ReadText(HivePath()).find("\"Compression\"=dword:ffffffff") != std::string::npos);

    WriteKey(
        "\"IncludeCursor\"=dword:00000001\r\n\"UseJpegFormat\"=dword:00000001\r\n\"FPS\"=dword:00000019\r\n"
        "\"VideoSize\"=dword:00000004\r\n\"PixelFormat\"=dword:ffffffff\r\n\"Compression\"=dword:00000001\r\n"
        "\"ShowArea\"=dword:00000000\r\n");
    Start();
    // No depth selected is one the writer refuses.
    QCOMPARE(Boxes->Texts, QStringList{"Pixelformat not supported."});
    QCOMPARE(SettingsForm->FPSSpin->value(), 20);
    QCOMPARE(Form->RecordTimer->interval(), 50);
    QCOMPARE(SettingsForm->VideoSizeCBX->currentIndex(), -1);
    QCOMPARE(SettingsForm->PixelFormatCBX->currentIndex(), -1);
    QCOMPARE(Form->AviWriter->PixelFormat(), pf32bit);
    QCOMPARE(SettingsForm->CompressionCBX->currentIndex(), 0);
    QVERIFY(SettingsForm->AreaCB->isChecked());
  }

  void ARefusedDepthSavedAtCloseIsReportedAtTheNextStart() {
    Start();
    SettingsForm->CompressionCBX->setCurrentIndex(1);
    SettingsForm->AreaCB->setChecked(false);
    SettingsForm->PixelFormatCBX->setCurrentIndex(4);
    QVERIFY_THROWS_EXCEPTION(Exception, SettingsForm->PixelFormatCBXChange());
    Close();
    QVERIFY(ReadText(HivePath()).find("\"PixelFormat\"=dword:00000004") != std::string::npos);
    Start();
    QCOMPARE(Boxes->Texts, QStringList{"Pixelformat not supported."});
    QCOMPARE(SettingsForm->PixelFormatCBX->currentText(), QString("16 bit"));
    QCOMPARE(Form->AviWriter->PixelFormat(), pf32bit);
    QCOMPARE(SettingsForm->CompressionCBX->currentIndex(), 0);
    QVERIFY(SettingsForm->AreaCB->isChecked());
  }

  // A line that cannot be read spoils that value alone: reported once, it
  // is replaced at close, and every other line stays as it was.
  void AnUnreadableValueIsReportedOnceAndReplacedAtClose() {
    WriteKey("\"IncludeCursor\"=dword:00000000\r\nthis line is no value\r\n\"Other\"=hex(100):01\r\n"
             "\"UseJpegFormat\"=dwo");
    Start();
    QCOMPARE(Boxes->Texts, QStringList{"Failed to get data for 'UseJpegFormat'"});
    QVERIFY(!SettingsForm->CursorCB->isChecked());
    QVERIFY(SettingsForm->JpegCB->isChecked());
    SettingsForm->JpegCB->setChecked(false);
    Close();
    const std::string text = ReadText(HivePath());
    QVERIFY2(text.find("\r\nthis line is no value\r\n\"Other\"=hex(100):01\r\n\"UseJpegFormat\"=dword:00000000\r\n") !=
                 std::string::npos,
             text.c_str());
    Start();
    QVERIFY(Boxes->Texts.isEmpty());
    QVERIFY(!SettingsForm->JpegCB->isChecked());
  }

  void ABrokenHiveKeepsTheDefaultsUntilItIsReplacedAtClose_data() {
    QTest::addColumn<QByteArray>("hive");
    QTest::newRow("no key") << QByteArray(
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\software\\quorvane\\Sorv");
    QTest::newRow("garbage") << QByteArray(
        "\x7f"
        "ELF\x02\x01\x01\x00 not a hive \xff\xfe",
        24);
  }
  void ABrokenHiveKeepsTheDefaultsUntilItIsReplacedAtClose() {
    QFETCH(QByteArray, hive);
    WriteHive(hive.toStdString());
    Start();
    QVERIFY(Boxes->Texts.isEmpty());
    VerifyDefaults();
    QCOMPARE(QByteArray::fromStdString(ReadText(HivePath())), hive);
    SettingsForm->FPSSpin->setValue(4);
    Close();
    Start();
    QCOMPARE(SettingsForm->FPSSpin->value(), 4);
  }

  void ASaveThatCannotBeWrittenIsNotReported() {
    Start();
    {
      TScopedEnv nowhere("XDG_CONFIG_HOME", "/dev/null/cannot");
      Close();
      QTest::qWait(50);
    }
    QVERIFY(Boxes->Texts.isEmpty());
    QVERIFY(!std::filesystem::exists(HivePath()));
  }
};

int main(int argc, char** argv) {
  return RunQtSuite<TestSettings>(argc, argv, 1024, 768);
}

#include "settings_test.moc"
