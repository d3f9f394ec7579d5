// The main window, the overlay and the capture ticks, on a screen of the
// test's own; what the window offers while a recording runs, and what it
// shows between recordings.
#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTest>
#include <chrono>
#include <filesystem>

#include "Api_Funcs.h"
#include "Main_F.h"
#include "about_f.h"
#include "areaform_f.h"
#include "base/exception.h"
#include "base/file.h"
#include "image/picture_files.h"
#include "image_box.h"
#include "platform/recording_folder.h"
#include "platform/registry.h"
#include "qt_test_support.h"
#include "save_dialog.h"
#include "settings_f.h"
#include "test_support.h"
#include "tray_icon.h"
#include "x_server.h"

namespace {

uint32_t Pattern(int32_t x, int32_t y) {
  return (static_cast<uint32_t>(x & 0xFF) << 16) | (static_cast<uint32_t>(y & 0xFF) << 8) |
         static_cast<uint32_t>((x / 7 + y / 3) & 0xFF);
}

uint32_t Color(const TBitmap& picture, int32_t x, int32_t y) {
  RGBQUAD c = picture.Pixel(x, y);
  return (static_cast<uint32_t>(c.rgbRed) << 16) | (static_cast<uint32_t>(c.rgbGreen) << 8) | c.rgbBlue;
}

// A screen whose copies fail half-way, after scribbling on the picture.
class TFailingScreen : public TScreen {
 public:
  void CopyRect(const TRect&, TBitmap& picture) override {
    if (!picture.Empty()) picture.FillRect(TRect(0, 0, picture.Width(), picture.Height()), RGBQUAD{1, 2, 3, 0});
    throw Exception("The X server refused the copy");
  }
  void DrawOutline(const TRect&) override {}
  TPointer Pointer() override { return TPointer(); }
  std::vector<TMonitor> Monitors() override { return {TMonitor{TRect(0, 0, 1280, 1024), true}}; }
};

// Runs check on the first message box that opens, then closes it.
void WhenMessageBoxOpens(std::function<void(QMessageBox*)> check) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, check] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      poll->stop();
      poll->deleteLater();
      check(box);
      box->accept();
    }
  });
  poll->start(10);
}

}  // namespace

// Takes the web addresses that the program asks the desktop to open.
class TUrlCatcher : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> Opened;

 public slots:
  void Open(const QUrl& url) { Opened << url; }
};

class TestMainForm : public TWindowSuite {
  Q_OBJECT

 public:
  using TWindowSuite::TWindowSuite;

 private:
  void ShowOverlay() { ::ShowOverlay(*Form); }
  void CloseOverlay() { ::CloseOverlay(*Form); }
  void Drag(QPoint from, QPoint to) { DragOnOverlay(from, to); }
  // Clicks a control of the window with the real pointer, as a user does.
  void Click(QWidget* control) {
    const QPoint at = control->mapToGlobal(control->rect().center());
    Server->Run("xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) + " click 1");
    QTest::qWait(200);
  }

 private slots:
  void LayoutFollowsTheDesign() {
    QCOMPARE(Form->windowTitle(), QString("Pelimar 1.0"));
    QVERIFY(Form->windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(Form->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
    QCOMPARE(Form->size(), QSize(252, 533));
    QCOMPARE(Form->minimumHeight(), 533);
    QCOMPARE(Form->maximumHeight(), 540);
    // Top right of the primary screen.
    QCOMPARE(Form->frameGeometry().right() + 1, 1280);
    QCOMPARE(Form->frameGeometry().top(), 0);
    struct TRow {
      QWidget* control;
      QRect geometry;
      const char* caption;
    } rows[] = {
        {Form->SetAreaBtn, QRect(4, 4, 235, 40), "Set recording area"},
        {Form->RecordBtn, QRect(4, 43, 236, 40), "&Start recording..."},
        {Form->StopRecordingBtn, QRect(4, 82, 236, 40), "S&top recording"},
        {Form->SaveBtn, QRect(4, 121, 236, 40), "S&ave recording to disk..."},
        {Form->SettingsBtn, QRect(4, 160, 236, 40), "Setti&ngs..."},
        {Form->Bevel2, QRect(4, 204, 235, 9), nullptr},
        {Form->SpeedButton4, QRect(4, 211, 236, 40), "&About Pelimar..."},
        {Form->SpeedButton5, QRect(4, 250, 236, 40), "&Quorvane"},
        {Form->Bevel3, QRect(4, 292, 235, 9), nullptr},
        {Form->Bevel1, QRect(5, 299, 72, 71), nullptr},
        {(QWidget*)Form->StatusImg, QRect(8, 302, 64, 64), nullptr},
        {Form->ProgressLabel, QRect(4, 373, 236, 13), nullptr},
        {Form->ProgressBar1, QRect(4, 390, 236, 17), nullptr},
        {Form->Bevel4, QRect(4, 409, 236, 9), nullptr},
        {Form->rectlabel, QRect(1, 432, 242, 32), nullptr},
        {Form->timelabel, QRect(1, 460, 242, 13), nullptr},
        {Form->frameslabel, QRect(1, 477, 242, 13), nullptr},
    };
    for (const TRow& row : rows) {
      QCOMPARE(row.control->geometry(), row.geometry);
      if (auto* button = qobject_cast<QToolButton*>(row.control)) {
        QCOMPARE(button->text(), QString(row.caption));
        QCOMPARE(button->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
        QVERIFY(button->autoRaise());
        QVERIFY(!button->icon().isNull());
        QCOMPARE(button->iconSize(), QSize(16, 16));
      }
    }
    QCOMPARE(Form->SizeLabel->pos(), QPoint(1, 417));
    QCOMPARE(Form->SizeLabel->text(), QString("Disk space: 0  bytes (temp)"));
    QCOMPARE(Form->RecordBtn->toolTip(), QString::fromUtf8("Startar inspelning av videoklipp i vald region"));
    QCOMPARE(Form->SettingsBtn->toolTip(), QString::fromUtf8("Visa videoklippsinställningar"));
    QVERIFY(Form->SpeedButton4->toolTip().isEmpty());
    QVERIFY(Form->SetAreaBtn->isCheckable());
    // At start only the area, settings, About and web buttons can be pressed.
    QVERIFY(Form->SetAreaBtn->isEnabled() && Form->SettingsBtn->isEnabled());
    QVERIFY(!Form->RecordBtn->isEnabled() && !Form->StopRecordingBtn->isEnabled() &&
            !Form->SaveBtn->isEnabled());
    QVERIFY(!Form->RecordTimer->isActive());
    QCOMPARE(Form->RecordTimer->interval(), 125);
    QCOMPARE(Form->RecordTimer->timerType(), Qt::PreciseTimer);
    // The writer's design values.
    QCOMPARE(Form->AviWriter->Width(), 128);
    QCOMPARE(Form->AviWriter->Height(), 102);
    QCOMPARE(Form->AviWriter->FrameTime(), 100);
    QVERIFY(Form->AviWriter->Stretch());
    QCOMPARE(Form->AviWriter->PixelFormat(), pf32bit);
    // Anchored controls follow the window: wider stretches, taller moves the bottom ones.
    Form->resize(300, 540);
    QCOMPARE(Form->SetAreaBtn->geometry(), QRect(4, 4, 283, 40));
    QCOMPARE(Form->frameslabel->geometry(), QRect(1, 484, 290, 13));
    QCOMPARE(Form->StatusImg->geometry(), QRect(8, 309, 64, 64));
    Form->resize(252, 600);
    QCOMPARE(Form->height(), 540);
  }

  void SettingsStartWithTheirDefaults() {
    QVERIFY(SettingsForm->CursorCB->isChecked());
    QVERIFY(SettingsForm->JpegCB->isChecked());
    QVERIFY(SettingsForm->AreaCB->isChecked());
    QCOMPARE(SettingsForm->FPSSpin->value(), 8);
    QCOMPARE(SettingsForm->VideoSizeCBX->currentIndex(), 1);
    QCOMPARE(SettingsForm->PixelFormatCBX->currentIndex(), 6);
    QCOMPARE(SettingsForm->SelectedPixelFormat(), pf32bit);
    QCOMPARE(SettingsForm->CompressionCBX->currentText(), QString("No Compression"));
    for (auto [rate, interval] : {std::pair{1, 1000}, {3, 333}, {7, 142}, {20, 50}}) {
      SettingsForm->FPSSpin->setValue(rate);
      QCOMPARE(Form->RecordTimer->interval(), interval);
    }
    SettingsForm->FPSSpin->setValue(25);
    QCOMPARE(SettingsForm->FPSSpin->value(), 20);
    // The dialog opens with its right edge on the window's left edge, tops level.
    QRect dialog;
    QTimer::singleShot(200, [&] {
      dialog = SettingsForm->frameGeometry();
      SettingsForm->accept();
    });
    Form->SpeedButton3Click();
    QCOMPARE(dialog.right() + 1, Form->frameGeometry().left());
    QVERIFY2(dialog.height() <= 600, qPrintable(QString::number(dialog.height())));  // on a small screen too
    QCOMPARE(dialog.top(), Form->frameGeometry().top());
  }

  void TheAboutBoxShowsTheVersionOfItsExecutable() {
    struct TShown {
      TAboutForm* Form;
      QString Version;
      bool Icon;
      QString Title;
      QSize Size;
    };
    QList<TShown> shown;
    for (int i = 0; i < 2; ++i) {
      QTimer::singleShot(100, [&] {
        QVERIFY(AboutForm);
        shown << TShown{AboutForm, AboutForm->AppVer->text(), !AboutForm->Image1->pixmap().isNull(),
                        AboutForm->windowTitle(), AboutForm->size()};
        QCOMPARE(AboutForm->Label5->text(), QString("Version") + QString(33, '.'));
        QCOMPARE(AboutForm->Label3->pos(), QPoint(80, 76));
        QCOMPARE(AboutForm->Button1->geometry(), QRect(124, 326, 75, 25));
        QVERIFY(AboutForm->Button1->isDefault());
        AboutForm->Button1Click();
      });
      Form->SpeedButton4Click();
      QVERIFY(AboutForm == nullptr);  // freed once it closed
    }
    QCOMPARE(shown.size(), 2);
    for (const TShown& s : shown) {
      QCOMPARE(s.Version, QString("1.6.0.201"));
      QVERIFY(s.Icon);
      QCOMPARE(s.Title, QString("About Pelimar"));
      QCOMPARE(s.Size, QSize(331, 355));
    }

    // The link and the "&Quorvane" button open the maker's page; a label
    // with another Tag opens nothing.
    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "Open");
    TAboutForm about;
    about.Label4Click(about.Label3);
    QTest::mouseClick(about.Label3, Qt::LeftButton);
    about.Label2->setProperty("Tag", 1);
    about.Label4Click(about.Label2);
    Form->SpeedButton5Click();
    QDesktopServices::unsetUrlHandler("https");
    const QUrl page(kMakerWebPage);
    QCOMPARE(catcher.Opened, (QList<QUrl>{page, page, page}));
    QVERIFY(page.host().endsWith(".example"));
  }

  void SizeLabelCountsBytesThenKbThenMb() {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "Disk space: 0  bytes (temp)"},
        {1024, "Disk space: 1024  bytes (temp)"},
        {1025, "Disk space: 1 kb (temp)"},
        {6000, "Disk space: 5 kb (temp)"},
        {1049599, "Disk space: 1024 kb (temp)"},
        {1049600, "Disk space: 1 MB (temp)"},
        {int64_t{5} << 30, "Disk space: 5120 MB (temp)"},  // past 2 GiB, no overflow
    };
    for (auto [bytes, text] : cases) {
      Form->UpdateSizeLabel(bytes);
      QCOMPARE(Form->SizeLabel->text(), QString(text));
      QCOMPARE(Form->DiskUse(), bytes);
    }
    QCOMPARE(ElapsedText(65 * 1000 + 7), QString("00:01:05.007"));
    QCOMPARE(ElapsedText(25 * 3600 * 1000), QString("01:00:00.000"));
  }

  void OverlayShowCloseAndHide() {
    ShowOverlay();
    QCOMPARE(AreaForm->geometry(), QRect(0, 0, 1280, 1024));
    QCOMPARE(AreaForm->AreaRect(), TRect(0, 0, 0, 0));
    QVERIFY(!Form->RecordBtn->isEnabled());
    QVERIFY(Form->isVisible());
    // A press and a release without a move change nothing.
    QCursor::setPos(300, 300);
    AreaForm->DeskTopImageMouseDown();
    AreaForm->FormMouseUp();
    QCOMPARE(AreaForm->AreaRect(), TRect(0, 0, 0, 0));
    CloseOverlay();
    QVERIFY(!Form->RecordBtn->isEnabled());  // an empty area: nothing to start

    SettingsForm->VideoSizeCBX->setCurrentIndex(0);
    ShowOverlay();
    Drag(QPoint(100, 50), QPoint(420, 290));
    QCOMPARE(AreaForm->AreaRect(), TRect(100, 50, 420, 290));
    QCOMPARE(Form->rectlabel->text(), QString("320x240 (100,50,420,290)"));
    QVERIFY(Form->RecordBtn->isEnabled());
    CloseOverlay();
    QVERIFY(Form->RecordBtn->isEnabled());
    QVERIFY(!Form->StopRecordingBtn->isEnabled());
    QVERIFY(!Form->SaveBtn->isEnabled());  // no pictures yet

    // Up and to the left: negative sizes in the label, but the recorded area is in order.
    ShowOverlay();
    Drag(QPoint(200, 100), QPoint(170, 80));
    QCOMPARE(Form->rectlabel->text(), QString("-30x-20 (200,100,170,80)"));
    QVERIFY(Form->RecordBtn->isEnabled());
    QCOMPARE(AreaForm->NormalizedAreaRect(), TRect(170, 80, 200, 100));
    CloseOverlay();
    QVERIFY(Form->RecordBtn->isEnabled());

    ShowOverlay();
    Drag(QPoint(200, 100), QPoint(260, 100));  // a straight line
    QVERIFY(!Form->RecordBtn->isEnabled());
    SettingsForm->VideoSizeCBX->setCurrentIndex(3);
    Drag(QPoint(5, 5), QPoint(100, 50));
    QCOMPARE(AreaForm->AreaRect(), TRect(100, 50, 1124, 818));
    QCOMPARE(Form->rectlabel->text(), QString("1024x768 (100,50,1124,818)"));
    SettingsForm->VideoSizeCBX->setCurrentIndex(2);
    Drag(QPoint(5, 5), QPoint(100, 50));
    QCOMPARE(Form->rectlabel->text(), QString("640x480 (100,50,740,530)"));
    SettingsForm->VideoSizeCBX->setCurrentIndex(-1);
    Drag(QPoint(5, 5), QPoint(100, 50));
    QCOMPARE(Form->rectlabel->text(), QString("0x0 (0,0,0,0)"));
    QVERIFY(!Form->RecordBtn->isEnabled());

    // Any button drags; moves go on dragging until a release, with or without a button held.
    SettingsForm->VideoSizeCBX->setCurrentIndex(0);
    QCursor::setPos(40, 40);
    QTest::mousePress(AreaForm->PaintBox1, Qt::RightButton, {}, QPoint(40, 40));
    QVERIFY(AreaForm->Dragging());
    AreaForm->PaintBox1MouseMove(90, 70);
    QCOMPARE(AreaForm->AreaRect(), TRect(40, 40, 90, 70));
    QTest::mouseRelease(AreaForm->PaintBox1, Qt::RightButton, {}, QPoint(90, 70));
    AreaForm->PaintBox1MouseMove(300, 300);
    QCOMPARE(AreaForm->AreaRect(), TRect(40, 40, 90, 70));
    // The outline is drawn where the area is: black dashes on its edges.
    QImage shown = AreaForm->PaintBox1->grab().toImage();
    QCOMPARE(shown.pixelColor(40, 40), QColor(Qt::black));
    QVERIFY(shown.pixelColor(60, 55) != QColor(Qt::black) ||
            AreaForm->DeskTopImage.pixelColor(60, 55) == QColor(Qt::black));

    // Start hides the overlay without closing it; the area of the
    // recording that runs cannot be set again.
    Form->RecordBtnClick();
    Form->RecordTimer->stop();
    QVERIFY(!AreaForm->isVisible());
    QVERIFY(!Form->RecordBtn->isEnabled());
    QVERIFY(Form->StopRecordingBtn->isEnabled());
    QVERIFY(!Form->SetAreaBtn->isChecked() && !Form->SetAreaBtn->isEnabled());
    QCOMPARE(AreaForm->AreaRect(), TRect(40, 40, 90, 70));
    Form->StopRecordingBtnClick();
  }

  void TicksStorePicturesAndLabelThem() {
    MarkArea(*Form, QPoint(110, 70), QPoint(10, 20));
    // Painted once the overlay is gone: the root window forgets what was under a window.
    Server->PaintRoot(Pattern);
    QCursor::setPos(600, 600);  // the pointer stays out of the pictures
    Form->RecordBtnClick();
    QVERIFY(Form->RecordTimer->isActive());
    QVERIFY(!Form->SaveBtn->isEnabled());
    Form->RecordTimer->stop();
    SettingsForm->JpegCB->setChecked(false);
    Form->RecordTimerTimer();
    SettingsForm->JpegCB->setChecked(true);
    Form->RecordTimerTimer();
    QCOMPARE(Form->FrameCount(), 2);
    QCOMPARE(Form->frameslabel->text(), QString("Pictures: 2 st."));
    QCOMPARE(Form->rectlabel->text(), QString("-100x-50 (110,70,10,20)"));
    QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$").match(Form->timelabel->text()).hasMatch());
    const std::string bmp = Form->Frames()[0], jpg = Form->Frames()[1];
    QVERIFY(QString::fromStdString(bmp).endsWith(".bmp"));
    QVERIFY(QString::fromStdString(jpg).endsWith(".jpg"));
    // In the recording's own folder, in capture order.
    QCOMPARE(PictureFilesUnder(Temp->Path()), Form->Frames());
    QVERIFY(QString::fromStdString(bmp).startsWith(QString::fromStdString(RecordingsFolder() + "recording-")));
    QVERIFY(QString::fromStdString(bmp).endsWith("/daw1.bmp"));
    // The estimate is twice the first file's size.
    TFile first(bmp, TFile::TMode::Read);
    QCOMPARE(Form->DiskUse(), 2 * static_cast<int64_t>(first.Size()));
    // The BMP holds the screen there exactly; the outline lies outside it.
    TBitmap picture = LoadBmpFile(bmp);
    QCOMPARE(picture.Width(), 100);
    QCOMPARE(picture.Height(), 50);
    for (int32_t y = 0; y < 50; ++y)
      for (int32_t x = 0; x < 100; ++x) QCOMPARE(Color(picture, x, y), Pattern(10 + x, 20 + y));
    TBitmap jpeg = LoadJpegFile(jpg);
    QCOMPARE(jpeg.Width(), 100);
    Form->StopRecordingBtnClick();
    QVERIFY(Form->SaveBtn->isEnabled());
    QVERIFY(Form->RecordBtn->isEnabled());
    QVERIFY(!Form->StopRecordingBtn->isEnabled());

    // ClearFrames deletes the pictures, empties the list and disables Save.
    Form->ClearFrames();
    QCOMPARE(Form->FrameCount(), 0);
    QVERIFY(!FileExists(bmp) && !FileExists(jpg));
    QCOMPARE(Form->SizeLabel->text(), QString("Disk space: 0  bytes (temp)"));
    QVERIFY(!Form->SaveBtn->isEnabled());
    Form->StopRecordingBtnClick();
    QVERIFY(!Form->SaveBtn->isEnabled());  // stopped with no pictures
  }

  // A pause takes no pictures and does not count in the time shown; the
  // recording goes on after it, and only while recording can it pause.
  void APauseTakesNoPicturesAndIsNotCounted() {
    MarkArea(*Form, QPoint(10, 10), QPoint(60, 40));
    QCursor::setPos(600, 600);
    SettingsForm->FPSSpin->setValue(20);
    QVERIFY(!Form->PauseAction->isEnabled());
    const QDateTime started = QDateTime::currentDateTime();
    Form->RecordBtnClick();
    QVERIFY(Form->PauseAction->isEnabled());
    QTRY_VERIFY(Form->FrameCount() >= 3);
    Form->PauseAction->trigger();
    const int64_t pausedAt = std::chrono::steady_clock::now().time_since_epoch().count();
    QVERIFY(Form->Paused() && !Form->RecordTimer->isActive());
    QCOMPARE(Form->PauseAction->text(), QString("Resume recording"));
    QCOMPARE(Form->ProgressLabel->text(), QString("Paused..."));
    const int before = Form->FrameCount();
    const QString shown = Form->timelabel->text();
    QTest::qWait(2000);
    QCOMPARE(Form->FrameCount(), before);
    QCOMPARE(Form->timelabel->text(), shown);
    const int64_t resumedAt = std::chrono::steady_clock::now().time_since_epoch().count();
    Form->PauseAction->trigger();
    QVERIFY(!Form->Paused() && Form->RecordTimer->isActive());
    QTRY_VERIFY(Form->FrameCount() >= before + 3);
    Form->StopRecordingBtnClick();
    const int64_t elapsed = started.msecsTo(QDateTime::currentDateTime());
    QVERIFY(!Form->PauseAction->isEnabled());
    QCOMPARE(Form->PauseAction->text(), QString("Pause recording"));
    QCOMPARE(Form->Session().PictureTimes().size(), Form->Frames().size());
    for (int64_t taken : Form->Session().PictureTimes()) QVERIFY(taken < pausedAt || taken > resumedAt);
    // The time shown is of the last picture, less the pause.
    const QStringList parts = Form->timelabel->text().split(QRegularExpression("[^0-9]"));
    QCOMPARE(parts.size(), 4);
    const int64_t shownMs =
        ((parts[0].toLongLong() * 60 + parts[1].toLongLong()) * 60 + parts[2].toLongLong()) * 1000 +
        parts[3].toLongLong();
    QVERIFY2(shownMs <= elapsed - 2000, qPrintable(Form->timelabel->text()));
    Form->PauseRecordingClick();  // no recording: nothing happens
    QVERIFY(!Form->Paused());
    // The video has a frame for each picture, and none for the pause.
    const int pictures = Form->FrameCount();
    const std::string avi = Temp->File("paused.avi");
    SaveRecording(*Form, avi);
    QCOMPARE(FrameCountOf(avi), pictures);
    std::filesystem::remove(avi);
  }

  void AFailingTickStopsTheTimerFirstAndKeepsThePictures() {
    MarkArea(*Form, QPoint(10, 10), QPoint(330, 250));
    Form->RecordBtnClick();
    Form->RecordTimerTimer();
    QCOMPARE(Form->FrameCount(), 1);
    const std::string kept = Form->Frames()[0];

    // A disk that fills up while the picture is written leaves no file
    // behind; the timer is stopped before the message shows.
    SettingsForm->JpegCB->setChecked(false);
    bool timerWasActive = true;
    QString text;
    WhenMessageBoxOpens([&](QMessageBox* box) {
      timerWasActive = Form->RecordTimer->isActive();
      text = box->text();
    });
    {
      TFileSizeLimit full(10000);
      Form->RecordTimerTimer();
    }
    QVERIFY(!timerWasActive);
    QVERIFY2(text.startsWith("Error: "), qPrintable(text));
    QCOMPARE(Form->FrameCount(), 1);
    QCOMPARE(PictureFilesUnder(Temp->Path()), std::vector<std::string>{kept});
    // Halted: Stop ends it, and no tick runs until then.
    QVERIFY(Form->StopRecordingBtn->isEnabled() && !Form->RecordBtn->isEnabled() && !Form->SaveBtn->isEnabled());
    QVERIFY(!Form->PauseAction->isEnabled() && !Form->SetAreaBtn->isEnabled());
    Form->RecordTimerTimer();
    QCOMPARE(Form->FrameCount(), 1);
    Form->StopRecordingBtnClick();
    QVERIFY(Form->SaveBtn->isEnabled());

    // A temporary-file cleaner takes the recording's folder away: the next
    // tick says where it could not write.
    Form->RecordBtnClick();
    Form->RecordTimer->stop();
    std::filesystem::remove_all(Form->Session().Folder()->Path());
    WhenMessageBoxOpens([&](QMessageBox* box) { text = box->text(); });
    Form->RecordTimerTimer();
    QVERIFY2(text.startsWith("Error: ") && text.contains("No such file"), qPrintable(text));
    QVERIFY(!Form->RecordTimer->isActive());
    Form->StopRecordingBtnClick();
    QVERIFY(!Form->SaveBtn->isEnabled());

    // A copy of the screen that fails stores no picture, and the overlay
    // shows black rather than what the memory held.
    Form->Desktop().SetScreen(std::make_unique<TFailingScreen>());
    Form->RecordBtnClick();
    WhenMessageBoxOpens([&](QMessageBox* box) { text = box->text(); });
    Form->RecordTimerTimer();
    QCOMPARE(text, QString("Error: The X server refused the copy"));
    QCOMPARE(Form->FrameCount(), 0);
    QVERIFY(PictureFilesUnder(Temp->Path()).empty());
    QVERIFY(!Form->RecordTimer->isActive());
    Form->StopRecordingBtnClick();
    WhenMessageBoxOpens([](QMessageBox*) {});
    ShowOverlay();
    QCOMPARE(AreaForm->DeskTopImage.size(), QSize(1280, 1024));
    QCOMPARE(AreaForm->DeskTopImage.pixelColor(640, 512), QColor(Qt::black));
    WhenMessageBoxOpens([](QMessageBox*) {});
    CloseOverlay();
    Form->Desktop().SetScreen(nullptr);
  }

  // While a recording runs its area stays: "Set recording area" pressed
  // with the pointer does nothing, and the recording goes on without a word.
  void TheAreaOfARunningRecordingCannotBeSetAgain() {
    MarkArea(*Form, QPoint(10, 10), QPoint(90, 70));
    SettingsForm->FPSSpin->setValue(20);
    TMessageBoxes boxes;
    Form->RecordBtnClick();
    QTRY_VERIFY(Form->FrameCount() >= 2);
    Click(Form->SetAreaBtn);
    const int before = Form->FrameCount();
    QTRY_VERIFY(Form->FrameCount() >= before + 4);  // still recording
    QCOMPARE(boxes.Texts, QStringList());
    QVERIFY(!AreaForm->isVisible() && !Form->SetAreaBtn->isChecked() && !Form->SetAreaBtn->isEnabled());
    Form->StopRecordingBtnClick();
    for (const std::string& path : Form->Frames()) {
      const TBitmap picture = LoadPictureFile(path);
      QVERIFY2(picture.Width() == 80 && picture.Height() == 60, path.c_str());
    }
    QCOMPARE(boxes.Texts, QStringList());
  }

  // A new area dragged and "Set recording area" pressed again during a
  // recording, its overlay closed: Start and Stop stay as the recording
  // has them, the start/stop key stops it rather than starting another,
  // and every picture is kept and saved.
  void ClosingTheOverlayLeavesARunningRecordingAlone() {
    MarkArea(*Form, QPoint(10, 10), QPoint(90, 70));
    SettingsForm->FPSSpin->setValue(1);
    TMessageBoxes boxes;
    Form->RecordBtnClick();
    QTRY_VERIFY(Form->FrameCount() >= 1);
    Click(Form->SetAreaBtn);
    Server->Run("xdotool mousemove 300 300 mousedown 1 mousemove 350 340 mousemove 400 380 mouseup 1");
    Click(Form->SetAreaBtn);
    AreaForm->close();  // as the desktop would close it
    QVERIFY(Form->StopRecordingBtn->isEnabled());
    QVERIFY(!Form->RecordBtn->isEnabled() && !Form->SaveBtn->isEnabled());
    QCOMPARE(Form->Tray->Icon->toolTip(), QString("Pelimar: recording"));
    QTRY_VERIFY(Form->FrameCount() >= 3);
    Server->Run("xdotool key ctrl+shift+F9");
    QTRY_VERIFY(!Form->StopRecordingBtn->isEnabled());
    QVERIFY(!Form->RecordTimer->isActive());
    QVERIFY(Form->SaveBtn->isEnabled() && Form->RecordBtn->isEnabled());
    QCOMPARE(AreaForm->AreaRect(), TRect(10, 10, 90, 70));
    const int pictures = Form->FrameCount();
    const std::string avi = Temp->File("kept.avi");
    SaveRecording(*Form, avi);
    QCOMPARE(FrameCountOf(avi), pictures);
    QCOMPARE(boxes.Texts, QStringList());
    std::filesystem::remove(avi);
  }

  // After a save the window tells where the video went, with a link to its
  // folder; a new recording starts from clean labels, bar and preview, and
  // the sound level bar shows only while sound is recorded.
  void TheWindowBetweenRecordings() {
    MarkArea(*Form, QPoint(10, 10), QPoint(90, 70));
    Form->RecordBtnClick();
    QVERIFY(!Form->SoundLevel->isVisible());  // no sound chosen
    Form->RecordTimerTimer();
    Form->RecordTimerTimer();
    Form->StopRecordingBtnClick();
    const std::string avi = Temp->File("between.avi");
    SaveRecording(*Form, avi);
    QCOMPARE(Form->ProgressLabel->text(), QString("Done..."));
    QVERIFY2(Form->SavedLabel->text().contains("between.avi"), qPrintable(Form->SavedLabel->text()));
    QCOMPARE(Form->SavedLabel->toolTip(), QString::fromStdString(avi));
    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "Open");
    emit Form->SavedLabel->linkActivated(Form->SavedLabel->text().section("href=\"", 1).section("\"", 0, 0));
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(catcher.Opened, QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(Temp->Path()).chopped(1))});
    QVERIFY(Form->ProgressBar1->value() > 0 && !Form->StatusImg->Picture().isNull());

    SettingsForm->DelaySpin->setValue(2);
    Form->RecordBtnClick();
    QCOMPARE(Form->ProgressLabel->text(), QString("Starting..."));
    QCOMPARE(Form->ProgressBar1->value(), 0);
    QVERIFY(Form->StatusImg->Picture().isNull());
    QVERIFY(Form->frameslabel->text().isEmpty() && Form->SavedLabel->text().isEmpty());
    Form->StopRecordingBtnClick();
    QVERIFY(Form->ProgressLabel->text().isEmpty());
    std::filesystem::remove(avi);
  }

  void ClosingDeletesThePictures() {
    SettingsForm->VideoSizeCBX->setCurrentIndex(1);
    ShowOverlay();
    Drag(QPoint(0, 0), QPoint(30, 30));
    CloseOverlay();
    Form->RecordBtnClick();
    Form->RecordTimerTimer();
    Form->RecordTimerTimer();
    QCOMPARE(PictureFilesUnder(Temp->Path()).size(), size_t{2});
    Form->close();  // during the recording
    QVERIFY(EverythingUnder(RecordingsFolder()).empty());
  }
};

int main(int argc, char** argv) {
  return RunQtSuite<TestMainForm>(argc, argv, 1280, 1024);
}

#include "main_form_test.moc"
