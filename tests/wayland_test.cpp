// The program on a Wayland desktop: Qt on its Wayland platform, the screen
// from the desktop's screen cast through the real xdg-desktop-portal and
// PipeWire, the pointer moved by the desktop itself. The cast's pictures
// are the tests' backend's known patterns.
#include <QApplication>
#include <QFileDialog>
#include <QTest>
#include <QWindow>
#include <cmath>
#include <cstring>

#include "Main_F.h"
#include "areaform_f.h"
#include "hotkeys.h"
#include "image/picture_files.h"
#include "platform/registry.h"
#include "qt_test_support.h"
#include "settings_f.h"
#include "stored_settings.h"
#include "wayland_desktop.h"

namespace {

TWaylandDesktop* Desktop = nullptr;
bool Scaled = false;

// The backend's pictures: every pixel of a monitor its own colour, each
// monitor salted differently; and grey blocks that survive JPEG.
uint32_t Pattern(uint32_t monitor, uint32_t x, uint32_t y) {
  const uint32_t salt = ((monitor + 1) * 0x9E3779B1u) & 0xFFFFFFu;
  return ((x & 0xFFFu) | ((y & 0xFFFu) << 12)) ^ salt;
}
uint32_t Blocks(uint32_t monitor, uint32_t x, uint32_t y) {
  const uint32_t grey = ((x / 16 + 3 * (y / 16) + 5 * monitor) % 8) * 32 + 16;
  return grey * 0x010101u;
}

uint32_t Rgb(const TBitmap& picture, int32_t x, int32_t y) {
  const RGBQUAD c = picture.Pixel(x, y);
  return (uint32_t{c.rgbRed} << 16) | (uint32_t{c.rgbGreen} << 8) | c.rgbBlue;
}

// How many pixels of the picture differ from monitor's pattern at (left, top).
int Differences(const TBitmap& picture, uint32_t monitor, int32_t left, int32_t top) {
  int differences = 0;
  for (int32_t y = 0; y < picture.Height(); ++y)
    for (int32_t x = 0; x < picture.Width(); ++x)
      differences += Rgb(picture, x, y) != Pattern(monitor, left + x, top + y);
  return differences;
}

double Psnr(const TBitmap& picture, uint32_t monitor, int32_t left, int32_t top) {
  double squares = 0;
  for (int32_t y = 0; y < picture.Height(); ++y)
    for (int32_t x = 0; x < picture.Width(); ++x) {
      const uint32_t got = Rgb(picture, x, y), want = Blocks(monitor, left + x, top + y);
      for (int shift : {0, 8, 16}) {
        const double d = double((got >> shift) & 0xFF) - double((want >> shift) & 0xFF);
        squares += d * d;
      }
    }
  const double mean = squares / (3.0 * picture.Width() * picture.Height());
  return mean == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mean);
}

}  // namespace

class TestWayland : public QObject {
  Q_OBJECT

  std::unique_ptr<TMainForm> Form;
  // Every message box of a case is answered and its text kept: a failed
  // step never leaves the suite waiting on one.
  std::unique_ptr<TMessageBoxes> Boxes;

  // Presses "Set recording area" and waits for the overlay to cover its monitor.
  void ShowOverlay() {
    ::ShowOverlay(*Form);
    QVERIFY(QTest::qWaitForWindowExposed(AreaForm));
    QTRY_COMPARE(AreaForm->size(), AreaForm->screen()->size());
    // Driven before the desktop shows it, the pointer would meet nothing.
    QTRY_VERIFY(Desktop->Run("swaymsg -t get_tree").find("\"Set recording area\"") != std::string::npos);
  }
  void CloseOverlay() { ::CloseOverlay(*Form); }
  // A drag on the overlay with the desktop's pointer, in real pixels. The
  // desktop shows the main window in the middle of the overlay; it is moved
  // to the right edge of its monitor (monitorWidth in the desktop's
  // coordinates) first, as a user would move it aside.
  void Drag(int fromX, int fromY, int toX, int toY, int monitorWidth = 640) {
    Desktop->Run("swaymsg '[title=\"^Pelimar 1.0$\"] move position " + std::to_string(monitorWidth - 252) +
                 " 0'");
    // Over the overlay first, until it knows: the desktop may have sent the
    // pointer's arrival to a window Qt was just replacing.
    for (int attempt = 0; attempt < 10 && !AreaForm->PaintBox1->underMouse(); ++attempt) {
      Desktop->Pointer("move " + std::to_string(monitorWidth - 100) + " 300; move " + std::to_string(fromX) +
                       " " + std::to_string(fromY));
      QTest::qWait(50);
    }
    QVERIFY(AreaForm->PaintBox1->underMouse());
    Desktop->Pointer("move " + std::to_string(fromX) + " " + std::to_string(fromY) + "; down; move " +
                     std::to_string((fromX + toX) / 2) + " " + std::to_string((fromY + toY) / 2) + "; move " +
                     std::to_string(toX) + " " + std::to_string(toY) + "; up");
    QTRY_COMPARE(RectLabelText(AreaForm->AreaRect()), RectLabelText(TRect(fromX, fromY, toX, toY)));
    QTRY_VERIFY(!AreaForm->Dragging());
  }
  // Records with the real timer for about ms milliseconds.
  void Record(int ms) {
    Form->RecordBtnClick();
    QTest::qWait(ms);
    Form->StopRecordingBtnClick();
    QVERIFY2(Form->FrameCount() > 0, qPrintable(Boxes->Texts.join(" | ")));
  }

 private slots:
  void init() {
    Desktop->StartCast();  // every case from the plain cast
    Boxes = std::make_unique<TMessageBoxes>();
    StartWindow(Form);
    SettingsForm->JpegCB->setChecked(false);
    SettingsForm->VideoSizeCBX->setCurrentIndex(0);  // the area as dragged
  }
  void cleanup() {
    CloseWindow(Form);
    Boxes.reset();
  }

  void TheDraggedAreaIsRecordedFromTheCast() {
    ShowOverlay();
    // The desktop's token is kept at once, in a key that holds every
    // setting: a start after a crash from here on reads them all.
    TStoredSettings stored;
    stored.Load();
    QCOMPARE(QString::fromStdString(stored.Failure()), QString());
    QCOMPARE(stored.InOrderRead(), 6);
    QVERIFY(!stored.RestoreToken().empty());
    const int32_t width = Scaled ? 1280 : 640, height = Scaled ? 1024 : 480;
    // The overlay shows the monitor's picture, pixel for pixel.
    QCOMPARE(AreaForm->DeskTopImage.size(), QSize(width, height));
    for (int y = 0; y < height; y += 31)
      for (int x = 0; x < width; x += 29)
        QCOMPARE(AreaForm->DeskTopImage.pixel(x, y) & 0xFFFFFFu, Pattern(0, x, y));
    QCOMPARE(AreaForm->PaintBox1->grab().toImage().size(), QSize(width, height));

    const int left = Scaled ? 100 : 40, top = Scaled ? 80 : 60;
    Drag(left, top, left + 320, top + 240);
    QCOMPARE(Form->rectlabel->text(),
             QString("320x240 (%1,%2,%3,%4)").arg(left).arg(top).arg(left + 320).arg(top + 240));
    // The main window stays above the full-screen overlay.
    QVERIFY(Form->isVisible());
    QCOMPARE(Form->windowHandle()->transientParent(), AreaForm->windowHandle());
    CloseOverlay();

    Record(2000);
    for (const std::string& path : Form->Frames()) {
      const TBitmap picture = LoadBmpFile(path);
      QCOMPARE(picture.Width(), 320);
      QCOMPARE(picture.Height(), 240);
      QCOMPARE(Differences(picture, 0, left, top), 0);
    }
    if (Scaled) return;
    // Exported, every picture is a frame that ffprobe reads.
    const int32_t pictures = Form->FrameCount();
    const std::string avi = Desktop->Folder() + "/cast.avi";
    SaveRecording(*Form, avi);
    QCOMPARE(Boxes->Texts, QStringList());
    QVERIFY(ProbeVideo(avi).find(QString("width=320\nheight=240\ntime_base=1/8\nnb_read_frames=%1\n")
                                     .arg(pictures)
                                     .toStdString()) != std::string::npos);
  }

  void JpegPicturesKeepTheCastsDetail() {
    if (Scaled) QSKIP("one scaled run is enough");
    Desktop->StartCast({"--pattern=blocks"});
    SettingsForm->JpegCB->setChecked(true);
    ShowOverlay();
    // Blocks on the JPEG's own 16-pixel grid, as text and windows mostly are.
    Drag(32, 64, 352, 304);
    CloseOverlay();
    Record(600);
    for (const std::string& path : Form->Frames()) {
      const double psnr = Psnr(LoadJpegFile(path, pf32bit), 0, 32, 64);
      QVERIFY2(psnr >= 35, qPrintable(QString("PSNR %1 dB").arg(psnr)));
    }
  }

  void AnAreaOnTheSecondMonitorRecordsItsStream() {
    if (Scaled) QSKIP("one monitor");
    // The main window on the second output: the overlay goes there.
    Form->hide();
    Desktop->Run("swaymsg focus output HEADLESS-2");
    Form->show();
    QTRY_COMPARE(Form->screen()->geometry().topLeft(), QPoint(640, 0));
    ShowOverlay();
    QCOMPARE(AreaForm->screen()->geometry(), QRect(640, 0, 800, 600));
    QCOMPARE(AreaForm->DeskTopImage.pixel(5, 7) & 0xFFFFFFu, Pattern(1, 5, 7));
    // sway 1.7 gives a full-screen window on its second output pointer
    // positions counted from the first output's corner, so the drag comes
    // as Qt's own events, in the overlay's coordinates.
    QTest::mousePress(AreaForm->PaintBox1, Qt::LeftButton, {}, QPoint(60, 50));
    QTest::mouseMove(AreaForm->PaintBox1, QPoint(360, 250));
    QTest::mouseRelease(AreaForm->PaintBox1, Qt::LeftButton, {}, QPoint(360, 250));
    QCOMPARE(AreaForm->AreaRect(), TRect(700, 50, 1000, 250));
    CloseOverlay();
    Form->RecordBtnClick();
    Form->RecordTimer->stop();
    Form->RecordTimerTimer();
    QCOMPARE(Differences(LoadBmpFile(Form->Frames().at(0)), 1, 60, 50), 0);
    Desktop->Run("swaymsg focus output HEADLESS-1");
  }

  // RGBx with rows wider than the picture, in buffers PipeWire made, and a
  // still screen: one picture comes, and every tick still has it.
  void OtherLayoutsAndAStillScreen() {
    if (Scaled) QSKIP("one scaled run is enough");
    Desktop->StartCast({"--format=RGBx", "--stride-padding=12", "--still", "--buffers=memptr"});
    ShowOverlay();
    Drag(10, 20, 210, 170);
    CloseOverlay();
    Form->RecordBtnClick();
    Form->RecordTimer->stop();
    for (int i = 0; i < 3; ++i) {
      QTest::qWait(100);
      Form->RecordTimerTimer();
    }
    QCOMPARE(Form->FrameCount(), 3);
    for (const std::string& path : Form->Frames()) QCOMPARE(Differences(LoadBmpFile(path), 0, 10, 20), 0);
    Desktop->StartCast({"--format=BGRA"});
    Form->SetAreaBtn->setChecked(true);
    Form->SetAreaBtnClick();
    QCOMPARE(AreaForm->DeskTopImage.pixel(300, 200) & 0xFFFFFFu, Pattern(0, 300, 200));
    CloseOverlay();
  }

  // A desktop that sends the pointer beside the picture: drawn in with its
  // hot spot where the desktop says, and left out without a new cast;
  // whatever one size the desktop gives that metadata, GNOME's and KDE
  // Plasma's among them.
  void ThePointerBesideThePictureIsDrawnIn_data() {
    QTest::addColumn<QString>("size");
    QTest::newRow("the pointer's own") << "";
    QTest::newRow("GNOME's 384 x 384") << "--cursor-meta-size=589872";
    QTest::newRow("KDE's 256 x 256") << "--cursor-meta-size=262192";
  }
  void ThePointerBesideThePictureIsDrawnIn() {
    if (Scaled) QSKIP("one scaled run is enough");
    QFETCH(QString, size);
    Desktop->StartCast(size.isEmpty() ? std::vector<std::string>{"--cursor-modes=7"}
                                      : std::vector<std::string>{"--cursor-modes=7", size.toStdString()});
    SettingsForm->CursorCB->setChecked(true);
    ShowOverlay();
    Drag(150, 100, 350, 250);
    CloseOverlay();
    Form->RecordBtnClick();
    Form->RecordTimer->stop();
    Form->RecordTimerTimer();
    SettingsForm->CursorCB->setChecked(false);
    Form->RecordTimerTimer();
    QCOMPARE(Form->FrameCount(), 2);
    const TBitmap with = LoadBmpFile(Form->Frames()[0]);
    // The 8-pixel square's hot spot (2, 3) lies on (200, 150).
    for (int32_t y = 0; y < 150; ++y)
      for (int32_t x = 0; x < 200; ++x) {
        const bool pointer = x >= 48 && x < 56 && y >= 47 && y < 55;
        QCOMPARE(Rgb(with, x, y), pointer ? 0xFF00FFu : Pattern(0, 150 + x, 100 + y));
      }
    QCOMPARE(Differences(LoadBmpFile(Form->Frames()[1]), 0, 150, 100), 0);
    QVERIFY(Desktop->BackendLog().find("cursor_mode=4") != std::string::npos);
  }

  // A desktop that offers the pointer beside its pictures but sends none
  // there: the next request asks for it in the pictures, without a word.
  void MetadataThatNeverComesGivesWayToThePointerInThePicture() {
    if (Scaled) QSKIP("one scaled run is enough");
    Desktop->StartCast({"--cursor-modes=7", "--cursor-meta-size=0"});
    SettingsForm->CursorCB->setChecked(true);
    ShowOverlay();
    Drag(150, 100, 350, 250);
    CloseOverlay();
    QVERIFY(Desktop->BackendLog().find("cursor_mode=4") != std::string::npos);
    Form->RecordBtnClick();
    Form->RecordTimer->stop();
    Form->RecordTimerTimer();
    Form->StopRecordingBtnClick();
    QCOMPARE(Differences(LoadBmpFile(Form->Frames().at(0)), 0, 150, 100), 0);
    ShowOverlay();
    CloseOverlay();
    QVERIFY2(Desktop->BackendLog().find("cursor_mode=2") != std::string::npos, Desktop->BackendLog().c_str());
    QCOMPARE(Boxes->Texts, QStringList());
  }

  // A GlobalShortcuts service that gives no session (another desktop's
  // backend, which cannot work here): no hotkeys, said in the settings
  // only, no box at start.
  void HotkeysWithoutAWorkingServiceAreNotAvailable() {
    Desktop->StartCast({"--shortcut-sessions=fail"});
    CloseWindow(Form);
    StartWindow(Form);
    QTest::qWait(200);
    QVERIFY(!Form->findChild<QMessageBox*>("HotkeyProblemBox"));
    QCOMPARE(Boxes->Texts, QStringList());
    QVERIFY(!Form->Hotkeys->Bound() && !Form->Hotkeys->Available());
    QVERIFY2(SettingsForm->HotkeysNote->text().startsWith("Hotkeys are not available in this session"),
             qPrintable(SettingsForm->HotkeysNote->text()));
    QVERIFY(!SettingsForm->RecordKeyEdit->isEnabled());
  }

  void TheDesktopEndingTheCastStopsTheRecordingKeepingItsPictures() {
    ShowOverlay();
    Drag(40, 60, 360, 300);
    CloseOverlay();
    Form->RecordBtnClick();
    QTRY_VERIFY(Form->FrameCount() >= 2);
    Desktop->EndCasts();
    QTRY_VERIFY(!Form->RecordTimer->isActive());
    QTRY_COMPARE(Boxes->Texts, QStringList("Error: The desktop ended the screen cast"));
    QVERIFY(Form->FrameCount() >= 2);
    QVERIFY(Form->SaveBtn->isEnabled());
    QVERIFY(!Form->StopRecordingBtn->isEnabled());
    // Asked again, the desktop shares again, with the token it gave.
    ShowOverlay();
    QVERIFY(Desktop->BackendLog().find("restored") != std::string::npos);
    CloseOverlay();
  }

  void ARefusalLeavesTheAreaUnsetWithoutAWord() {
    Desktop->StartCast({"--start-response=1"});
    Form->SetAreaBtn->setChecked(true);
    Form->SetAreaBtnClick();
    QVERIFY(!AreaForm->isVisible());
    QVERIFY(!Form->SetAreaBtn->isChecked());
    QVERIFY(!Form->RecordBtn->isEnabled());
    QTest::qWait(50);
    QCOMPARE(Boxes->Texts, QStringList());
  }

  void TheOutlineSettingIsShownDisabledAndKept() {
    QVERIFY(!SettingsForm->AreaCB->isEnabled());
    QVERIFY(SettingsForm->AreaCB->toolTip().contains("Wayland"));
    SettingsForm->AreaCB->setChecked(false);
    Form->close();
    TRegistry registry;
    QVERIFY(registry.OpenKey("software\\quorvane\\Sorvek", false));
    QCOMPARE(registry.ReadInteger("ShowArea"), 0);
  }

  // The hotkeys go through the desktop's GlobalShortcuts portal, our
  // combinations as its preferred triggers; pressed there, they drive the
  // recording.
  void HotkeysComeThroughTheDesktopsGlobalShortcuts() {
    QVERIFY2(Form->Hotkeys->Bound(), qPrintable(Form->Hotkeys->Problem()));
    QVERIFY(SettingsForm->HotkeysNote->text().isEmpty());
    const std::string log = Desktop->BackendLog();
    QVERIFY2(log.find("BindShortcuts start-stop=CTRL+SHIFT+F9 pause-resume=CTRL+SHIFT+F10") != std::string::npos,
             log.c_str());
    ShowOverlay();
    Drag(40, 60, 200, 160);
    CloseOverlay();
    SettingsForm->FPSSpin->setValue(20);
    auto press = [](const char* shortcut) {
      Desktop->Run(std::string("busctl --user call org.freedesktop.impl.portal.desktop.pelimartest "
                               "/org/freedesktop/portal/desktop org.freedesktop.impl.portal.GlobalShortcuts "
                               "Press s ") +
                   shortcut);
    };
    press("start-stop");
    QTRY_VERIFY(Form->FrameCount() >= 2);
    press("pause-resume");
    QTRY_VERIFY(Form->Paused());
    press("pause-resume");
    QTRY_VERIFY(!Form->Paused());
    press("start-stop");
    QTRY_VERIFY(!Form->StopRecordingBtn->isEnabled());
    QVERIFY(Form->SaveBtn->isEnabled());
    QCOMPARE(Boxes->Texts, QStringList());
  }

  // Last: the desktop stays without its screen-cast service.
  void WithoutAScreenCastServiceTheErrorSaysSo() {
    Desktop->StopCast();
    Form->SetAreaBtn->click();
    QCOMPARE(Boxes->Texts,
             QStringList("The desktop offers no screen-cast service (xdg-desktop-portal ScreenCast)"));
    QVERIFY(!AreaForm->isVisible());
    QVERIFY(!Form->SetAreaBtn->isChecked());
    QVERIFY(Form->isVisible());
    // Nor global shortcuts: the settings dialog says so.
    CloseWindow(Form);
    Form = std::make_unique<TMainForm>();
    QVERIFY(!Form->Hotkeys->Bound());
    QVERIFY2(SettingsForm->HotkeysNote->text().startsWith("Hotkeys are not available in this session"),
             qPrintable(SettingsForm->HotkeysNote->text()));
    QVERIFY(!SettingsForm->RecordKeyEdit->isEnabled());
  }
};

// wayland_test [scaled]: two monitors side by side (640 x 480 and
// 800 x 600), or one of 1280 x 1024 at output scale 2.
int main(int argc, char** argv) {
  Q_INIT_RESOURCE(pelimar);
  Scaled = argc > 1 && std::strcmp(argv[1], "scaled") == 0;
  if (Scaled) {
    --argc;
    ++argv;
  }
  TWaylandDesktop desktop(
      Scaled ? std::vector<std::string>{"1280x1024"} : std::vector<std::string>{"640x480", "800x600"},
      Scaled ? 2 : 1);
  Desktop = &desktop;
  TTempFolder temp;
  setenv("TMPDIR", temp.Path().c_str(), 1);
  setenv("LC_ALL", "C", 1);
  setenv("QT_QPA_PLATFORM", "wayland", 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pelimar");
  QApplication::setQuitOnLastWindowClosed(false);
  TestWayland test;
  return QTest::qExec(&test, argc, argv);
}

#include "wayland_test.moc"
