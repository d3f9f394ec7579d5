// The overlay and the capture on a screen where Qt scales its windows: by
// QT_SCALE_FACTOR or by the X resources' Xft.dpi. The pointer is moved
// through the X server, as a user moves it.
#include <QApplication>
#include <QTest>
#include <cstring>

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
         static_cast<uint32_t>(((x >> 8) * 60 + (y >> 8) * 90 + x * 7) & 0xFF);
}

uint32_t Rgb(QRgb c) {
  return c & 0xFFFFFFu;
}

// How many pixels of column x (rows top to bottom - 1) are black.
int BlackInColumn(const QImage& image, int x, int top, int bottom) {
  int black = 0;
  for (int y = top; y < bottom; ++y) black += Rgb(image.pixel(x, y)) == 0;
  return black;
}

}  // namespace

class TestScaledScreen : public QObject {
  Q_OBJECT

  std::unique_ptr<TMainForm> Form;

  void ShowOverlay() {
    ::ShowOverlay(*Form);
    QVERIFY(QTest::qWaitForWindowExposed(AreaForm));
  }

  // Drives the real pointer; Qt sees it when the events are processed.
  void Pointer(const std::string& actions) {
    Server->Run("xdotool " + actions);
    QTest::qWait(200);
  }

 private slots:
  void init() {
    Server->PaintRoot(Pattern);
    StartWindow(Form, false);
    SettingsForm->CursorCB->setChecked(false);
    SettingsForm->JpegCB->setChecked(false);
  }
  void cleanup() { CloseWindow(Form); }

  void TheWindowsKeepQtsScale() {
    QCOMPARE(Form->devicePixelRatioF(), 2.0);
    QCOMPARE(QGuiApplication::primaryScreen()->geometry(), QRect(0, 0, 640, 512));
  }

  void ADragRecordsTheRealPixelsUnderIt() {
    SettingsForm->VideoSizeCBX->setCurrentIndex(0);
    ShowOverlay();
    QCOMPARE(AreaForm->geometry(), QRect(0, 0, 640, 512));
    // Each pixel of the frozen picture lies on its own screen pixel.
    QImage shown = AreaForm->PaintBox1->grab().toImage();
    QCOMPARE(shown.size(), QSize(1280, 1024));
    for (int y = 0; y < 1024; y += 37)
      for (int x = 0; x < 900; x += 29) QCOMPARE(Rgb(shown.pixel(x, y)), Pattern(x, y));

    Pointer("mousemove 100 80 mousedown 1 mousemove 200 150 mousemove 420 320 mouseup 1");
    QCOMPARE(AreaForm->AreaRect(), TRect(100, 80, 420, 320));
    QCOMPARE(Form->rectlabel->text(), QString("320x240 (100,80,420,320)"));
    // The outline lies one real pixel around the area; inside it the picture.
    shown = AreaForm->PaintBox1->grab().toImage();
    // (dashed: most of each edge's pixels are black).
    for (int x : {100, 419}) QVERIFY(BlackInColumn(shown, x, 90, 310) > 110);
    for (int x : {99, 101, 418, 420}) QCOMPARE(BlackInColumn(shown, x, 90, 310), 0);

    CloseOverlay(*Form);
    Server->PaintRoot(Pattern);
    Form->RecordBtnClick();
    Form->RecordTimer->stop();
    Form->RecordTimerTimer();
    QCOMPARE(Form->FrameCount(), 1);
    TBitmap picture = LoadBmpFile(Form->Frames()[0]);
    QCOMPARE(picture.Width(), 320);
    QCOMPARE(picture.Height(), 240);
    for (int32_t y = 0; y < 240; ++y)
      for (int32_t x = 0; x < 320; ++x) {
        RGBQUAD c = picture.Pixel(x, y);
        const uint32_t got = (uint32_t{c.rgbRed} << 16) | (uint32_t{c.rgbGreen} << 8) | c.rgbBlue;
        if (got != Pattern(100 + x, 80 + y)) QFAIL(qPrintable(QString("pixel %1,%2").arg(x).arg(y)));
      }
  }

  void APresetLiesWhereThePointerIs() {
    SettingsForm->VideoSizeCBX->setCurrentIndex(1);
    ShowOverlay();
    Pointer("mousemove 100 90 mousedown 1 mousemove 110 90 mouseup 1");
    QCOMPARE(Form->rectlabel->text(), QString("320x240 (110,90,430,330)"));
    const QImage shown = AreaForm->PaintBox1->grab().toImage();
    for (int x : {110, 429}) QVERIFY(BlackInColumn(shown, x, 100, 320) > 110);
    for (int x : {109, 111, 428, 430}) QCOMPARE(BlackInColumn(shown, x, 100, 320), 0);
  }
};

// scaled_screen_test factor|xft: Qt scales by QT_SCALE_FACTOR, or by the
// screen's Xft.dpi of 192.
int main(int argc, char** argv) {
  Q_INIT_RESOURCE(pelimar);
  const bool byDpi = argc > 1 && std::strcmp(argv[1], "xft") == 0;
  if (argc > 1 && argv[1][0] != '-') {
    --argc;
    ++argv;
  }
  TXServer server(1280, 1024);
  TTempFolder temp;
  Server = &server;
  setenv("DISPLAY", server.Name().c_str(), 1);
  setenv("TMPDIR", temp.Path().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", temp.Path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", temp.Path().c_str(), 1);
  if (byDpi) {
    server.Run("echo 'Xft.dpi: 192' | xrdb -merge -");
    unsetenv("QT_SCALE_FACTOR");
  } else {
    setenv("QT_SCALE_FACTOR", "2", 1);
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pelimar");
  QApplication::setQuitOnLastWindowClosed(false);
  TestScaledScreen test;
  return QTest::qExec(&test, argc, argv);
}

#include "scaled_screen_test.moc"
