// The program on a real GNOME desktop: GNOME Shell without a screen, GNOME's own screen cast and share
// dialog behind the real xdg-desktop-portal and PipeWire. The tests press and drag through Mutter's remote
// desktop as a user would, pass the share dialog, and hold what was recorded against the Shell's own
// screenshots.
#include <QApplication>
#include <QMessageBox>
#include <QPainter>
#include <QTest>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "Main_F.h"
#include "areaform_f.h"
#include "hotkeys.h"
#include "image/picture_files.h"
#include "platform/registry.h"
#include "qt_support.h"
#include "qt_test_support.h"
#include "settings_f.h"
#include "stored_settings.h"
#include "wayland_desktop.h"

namespace {

TWaylandDesktop* Desktop = nullptr;
double DesktopSeconds = 0;  // from nothing to a GNOME desktop ready for the tests
constexpr int kWidth = 1280, kHeight = 1024;

// Flat blocks of darkish colours that fill the screen: nothing of GNOME's own shows through, and none is
// as light as the share dialog.
QColor Block(int x, int y) {
  return QColor((x / 32 * 37) % 200, (y / 32 * 53) % 200, ((x / 32 + y / 32) * 29) % 200);
}

class TKnownPicture : public QWidget {
 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    for (int y = 0; y < height(); y += 32)
      for (int x = 0; x < width(); x += 32) painter.fillRect(x, y, 32, 32, Block(x, y));
  }
};

QImage Load(const std::string& path) {
  return QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB32);
}

// Peak signal to noise of b's area against a's at the same place (dB); 99 for equal pictures.
double Psnr(const QImage& a, const QImage& b, const QRect& area, const QPoint& inB = QPoint()) {
  double squares = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) {
      const QRgb p = a.pixel(x, y), q = b.pixel(x - area.left() + inB.x(), y - area.top() + inB.y());
      for (int shift : {0, 8, 16}) {
        const double d = double((p >> shift) & 0xFF) - double((q >> shift) & 0xFF);
        squares += d * d;
      }
    }
  const double mean = squares / (3.0 * area.width() * area.height());
  return mean == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mean);
}

QImage FromBitmap(const TBitmap& picture) {
  return ToQImage(picture).convertToFormat(QImage::Format_RGB32);
}

}  // namespace

class TestGnome : public QObject {
  Q_OBJECT

  std::unique_ptr<TMainForm> Form;
  std::unique_ptr<TMessageBoxes> Boxes;
  TKnownPicture Picture;
  int DialogsPassed = 0;

  // GNOME's share dialog, in the middle of the screen: its light face where the known picture has none.
  bool ShareDialogShows() {
    const QImage shot = Load(Desktop->Screenshot(560, 470, 160, 60));
    int light = 0;
    for (int y = 0; y < shot.height(); ++y)
      for (int x = 0; x < shot.width(); ++x) light += qGray(shot.pixel(x, y)) > 225;
    return light > shot.width() * shot.height() / 2;
  }
  // Presses "Set recording area" and waits for the overlay; where GNOME's share dialog comes, the screen
  // is chosen in it, "Remember this selection" left on, and Share pressed.
  void ShowOverlay() {
    QTimer watch;
    bool seen = false;  // one dialog a request, tried again while it stays
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (!ShareDialogShows()) return;
      if (!seen) ++DialogsPassed;
      seen = true;
      QTest::qWait(500);  // it comes in with an animation of its own
      Desktop->Pointer("move 470 554; down; up");  // the virtual monitor's line
      QTest::qWait(300);
      Desktop->Pointer("move 853 400; down; up");  // Share
      QTest::qWait(1000);
    });
    watch.start(300);
    ::ShowOverlay(*Form);
    watch.stop();
    QVERIFY(QTest::qWaitForWindowExposed(AreaForm));
    QTRY_COMPARE(AreaForm->size(), QSize(kWidth, kHeight));
  }
  void CloseOverlay() { ::CloseOverlay(*Form); }
  // The free area from (left, top) to (right, bottom), dragged with the desktop's pointer.
  void Drag(int left, int top, int right, int bottom) {
    // Over the overlay first, until it knows: the desktop may have sent the pointer's arrival to a
    // window that was just going.
    for (int attempt = 0; attempt < 10 && !AreaForm->PaintBox1->underMouse(); ++attempt) {
      Desktop->Pointer("move " + std::to_string(right + 40) + " " + std::to_string(bottom + 40) + "; move " +
                       std::to_string(left) + " " + std::to_string(top));
      QTest::qWait(50);
    }
    QVERIFY(AreaForm->PaintBox1->underMouse());
    Desktop->Pointer("move " + std::to_string(left) + " " + std::to_string(top) + "; down; move " +
                     std::to_string((left + right) / 2) + " " + std::to_string((top + bottom) / 2) + "; move " +
                     std::to_string(right) + " " + std::to_string(bottom) + "; up");
    QTRY_COMPARE(RectLabelText(AreaForm->AreaRect()), RectLabelText(TRect(left, top, right, bottom)));
  }
  void Settings(bool pointer) {
    SettingsForm->CursorCB->setChecked(pointer);
    SettingsForm->JpegCB->setChecked(false);  // the cast's pixels as they came
    SettingsForm->VideoSizeCBX->setCurrentIndex(0);
  }

 private slots:
  void initTestCase() {
    qInfo("GNOME Shell answered after %.1f s; the desktop was ready after %.1f s", Desktop->StartSeconds(),
          DesktopSeconds);
    Picture.showFullScreen();
    QVERIFY(QTest::qWaitForWindowExposed(&Picture));
    QTest::qWait(1000);  // GNOME's own animation of a new window
  }
  void init() {
    Boxes = std::make_unique<TMessageBoxes>();
    StartWindow(Form, false);  // the desktop's token stays from one case to the next
    Settings(false);
  }
  void cleanup() {
    CloseWindow(Form);
    Boxes.reset();
  }

  // The first request brings GNOME's share dialog; the overlay then shows the screen as it is without
  // Pelimar's window or the dialog, pixel for pixel. The desktop's token is kept at once, with every
  // setting beside it.
  void TheOverlayShowsTheScreenWithoutOurWindow() {
    CloseWindow(Form);
    std::filesystem::remove(HivePath());
    const QImage before = Load(Desktop->Screenshot(0, 0, kWidth, kHeight));
    StartWindow(Form, false);
    Settings(false);
    ShowOverlay();
    QCOMPARE(DialogsPassed, 1);
    const QImage frozen = AreaForm->DeskTopImage.convertToFormat(QImage::Format_RGB32);
    QCOMPARE(frozen.size(), QSize(kWidth, kHeight));
    // GNOME's top bar may show above the known picture, its clock moving on: below it, block by block.
    double worst = 99;
    QRect worstBlock;
    for (int y = 64; y < kHeight; y += 64)
      for (int x = 0; x < kWidth; x += 64) {
        const double psnr = Psnr(before, frozen, QRect(x, y, 64, 64), QPoint(x, y));
        if (psnr < worst) worstBlock = QRect(x, y, 64, 64);
        worst = std::min(worst, psnr);
      }
    const double whole = Psnr(before, frozen, QRect(0, 64, kWidth, kHeight - 64), QPoint(0, 64));
    qInfo("overlay against the screen: %.1f dB in all, %.1f dB in its worst 64-pixel block", whole, worst);
    QVERIFY2(worst >= 30, qPrintable(QString("block at %1,%2").arg(worstBlock.x()).arg(worstBlock.y())));
    CloseOverlay();
    TStoredSettings stored;
    stored.Load();
    QCOMPARE(QString::fromStdString(stored.Failure()), QString());
    QVERIFY(!stored.RestoreToken().empty());
    QCOMPARE(Boxes->Texts, QStringList());
  }

  // Kept from the first: the second request shares without a question. A recording of the known
  // picture is what the Shell shows there.
  void ARecordingMatchesTheScreen() {
    ShowOverlay();
    QCOMPARE(DialogsPassed, 1);  // no new dialog
    Drag(600, 400, 920, 640);
    Desktop->Pointer("move 1200 900");  // out of the pictures
    // Started at once: the overlay, which GNOME fades out, is in none of the pictures.
    CloseOverlay();
    Form->RecordBtnClick();
    QTest::qWait(1500);
    Form->StopRecordingBtnClick();
    QVERIFY2(Form->FrameCount() >= 5, qPrintable(Boxes->Texts.join(" | ")));
    const QImage shown = Load(Desktop->Screenshot(600, 400, 320, 240));
    double worst = 99;
    QStringList each;
    for (const std::string& path : Form->Frames()) {
      const double psnr = Psnr(shown, FromBitmap(LoadBmpFile(path)), QRect(0, 0, 320, 240));
      each << QString::number(psnr, 'f', 1);
      worst = std::min(worst, psnr);
    }
    qInfo("%d pictures against the Shell's screenshot: %.1f dB at worst", Form->FrameCount(), worst);
    QVERIFY2(worst >= 30, qPrintable(each.join(" ")));
    QCOMPARE(Boxes->Texts, QStringList());
  }

  // "Include cursor": GNOME sends its pointer beside the pictures, in metadata of its one size, and it
  // is drawn where the Shell draws it.
  void ThePointerIsDrawnAtItsPlace() {
    Settings(true);
    ShowOverlay();
    Drag(600, 400, 920, 640);
    CloseOverlay();
    Desktop->Pointer("move 700 500");
    // GNOME fades the overlay out and casts the screen after it; with the
    // machine busy (the whole suite at once) that once took longer than
    // half a second, and the picture held the fading overlay.
    QTest::qWait(1500);
    Form->RecordBtnClick();
    Form->RecordTimer->stop();
    QTest::qWait(300);
    Form->RecordTimerTimer();
    Form->StopRecordingBtnClick();
    QCOMPARE(Form->FrameCount(), 1);
    const QImage recorded = FromBitmap(LoadBmpFile(Form->Frames()[0]));
    const QImage withPointer = Load(Desktop->Screenshot(0, 0, 0, 0));
    const QImage without = Load(Desktop->Screenshot(600, 400, 320, 240));
    // A 40-pixel box from a little above and left of the hot spot.
    const QRect box(692 - 600, 492 - 400, 40, 40);
    const double drawn = Psnr(withPointer, recorded, box.translated(600, 400), box.topLeft());
    const double bare = Psnr(without, recorded, box, box.topLeft());
    qInfo("the box at the pointer: %.1f dB against the screen with its pointer, %.1f dB without", drawn, bare);
    QVERIFY(drawn >= 30);
    QVERIFY(bare < 25);
    QCOMPARE(Boxes->Texts, QStringList());
  }

  // GNOME 43 has no global shortcuts; another desktop's backend the portal falls back to fails here.
  // The hotkeys are not available, the settings say so, and no box opens.
  void HotkeysAreNotAvailableWithoutABox() {
    QTest::qWait(300);
    QVERIFY(!Form->findChild<QMessageBox*>("HotkeyProblemBox"));
    QCOMPARE(Boxes->Texts, QStringList());
    QVERIFY(!Form->Hotkeys->Bound() && !Form->Hotkeys->Available());
    QVERIFY2(SettingsForm->HotkeysNote->text().startsWith("Hotkeys are not available in this session"),
             qPrintable(SettingsForm->HotkeysNote->text()));
    QVERIFY(!SettingsForm->RecordKeyEdit->isEnabled());
  }
};

int main(int argc, char** argv) {
  Q_INIT_RESOURCE(pelimar);
  const auto started = std::chrono::steady_clock::now();
  TWaylandDesktop desktop({std::to_string(kWidth) + "x" + std::to_string(kHeight)}, 1,
                          TWaylandDesktop::TKind::Gnome);
  DesktopSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  Desktop = &desktop;
  TTempFolder temp;
  setenv("TMPDIR", temp.Path().c_str(), 1);
  setenv("LC_ALL", "C", 1);
  setenv("QT_QPA_PLATFORM", "wayland", 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pelimar");
  QApplication::setQuitOnLastWindowClosed(false);
  TestGnome test;
  return QTest::qExec(&test, argc, argv);
}

#include "gnome_test.moc"
