// The main window on the second of two monitors side by side.
#include <QApplication>
#include <QTest>

#include "Main_F.h"
#include "areaform_f.h"
#include "image/picture_files.h"
#include "qt_test_support.h"
#include "settings_f.h"
#include "test_support.h"
#include "x_server.h"

namespace {

TXServer* Server = nullptr;

uint32_t Pattern(int32_t x, int32_t y) {
  return (static_cast<uint32_t>(x & 0xFF) << 16) | (static_cast<uint32_t>(y & 0xFF) << 8) |
         static_cast<uint32_t>(((x >> 8) * 60 + (y >> 8) * 90) & 0xFF);
}

uint32_t Rgb(QRgb c) {
  return c & 0xFFFFFFu;
}

}  // namespace

class TestMonitors : public QObject {
  Q_OBJECT

 private slots:
  void TheAreaIsChosenAndRecordedOnTheSecondMonitor() {
    Server->PaintRoot(Pattern);
    TMainForm form;
    form.move(650, 10);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTRY_COMPARE(form.mapToGlobal(QPoint(0, 0)), QPoint(650, 10));
    SettingsForm->CursorCB->setChecked(false);

    ShowOverlay(form);
    // The overlay covers the second monitor and shows what was on it.
    QCOMPARE(AreaForm->geometry(), QRect(640, 0, 800, 600));
    QCOMPARE(AreaForm->DeskTopImage.size(), QSize(800, 600));
    for (int y = 0; y < 600; y += 7)
      for (int x = 910 - 640; x < 800; x += 5)  // clear of the main window
        QCOMPARE(Rgb(AreaForm->DeskTopImage.pixel(x, y)), Pattern(640 + x, y));

    // A free rectangle from screen point (1000, 100) to overlay point (460, 300).
    SettingsForm->VideoSizeCBX->setCurrentIndex(0);
    DragOnOverlay(QPoint(1000, 100), QPoint(460, 300));
    QCOMPARE(AreaForm->AreaRect(), TRect(1000, 100, 1100, 300));
    QCOMPARE(form.rectlabel->text(), QString("100x200 (1000,100,1100,300)"));
    // Its outline is drawn where it is on this monitor.
    QImage shown = AreaForm->PaintBox1->grab().toImage();
    QCOMPARE(shown.pixelColor(360, 100), QColor(Qt::black));
    QCOMPARE(Rgb(shown.pixel(400, 200)), Pattern(1040, 200));

    CloseOverlay(form);
    QVERIFY(form.RecordBtn->isEnabled());
    Server->PaintRoot(Pattern);  // the overlay's window took the root's pixels with it
    SettingsForm->JpegCB->setChecked(false);
    form.RecordBtnClick();
    form.RecordTimer->stop();
    form.RecordTimerTimer();
    QCOMPARE(form.FrameCount(), 1);
    TBitmap picture = LoadBmpFile(form.Frames()[0]);
    QCOMPARE(picture.Width(), 100);
    QCOMPARE(picture.Height(), 200);
    for (int32_t y = 0; y < 200; ++y)
      for (int32_t x = 0; x < 100; ++x) {
        RGBQUAD c = picture.Pixel(x, y);
        uint32_t got = (uint32_t{c.rgbRed} << 16) | (uint32_t{c.rgbGreen} << 8) | c.rgbBlue;
        QCOMPARE(got, Pattern(1000 + x, 100 + y));
      }

    // A preset rectangle follows the pointer in screen coordinates too.
    form.StopRecordingBtnClick();
    ShowOverlay(form);
    SettingsForm->VideoSizeCBX->setCurrentIndex(1);
    AreaForm->DeskTopImageMouseDown();
    AreaForm->PaintBox1MouseMove(10, 20);
    AreaForm->FormMouseUp();
    QCOMPARE(AreaForm->AreaRect(), TRect(650, 20, 970, 260));
    form.close();
  }
};

int main(int argc, char** argv) {
  Q_INIT_RESOURCE(pelimar);
  TXServer server(std::vector<std::string>{"640x480+0+0", "800x600+640+0"});
  TTempFolder temp;
  Server = &server;
  setenv("DISPLAY", server.Name().c_str(), 1);
  setenv("TMPDIR", temp.Path().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", temp.Path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", temp.Path().c_str(), 1);  // settings of its own
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pelimar");
  QApplication::setQuitOnLastWindowClosed(false);
  TestMonitors test;
  return QTest::qExec(&test, argc, argv);
}

#include "monitors_test.moc"
