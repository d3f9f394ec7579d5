#include "settings_f.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

#include "Main_F.h"
#include "compression_choice.h"
#include "error_box.h"

TSettingsForm* SettingsForm = nullptr;

namespace {

// Every hint is kept with its control; only those of groups that show
// hints become tooltips.
void SetHint(QWidget* control, const char* hint, bool shown) {
  control->setProperty("hint", QString::fromUtf8(hint));
  if (shown) control->setToolTip(QString::fromUtf8(hint));
}

// An index past either end of the list leaves it without a selection.
void SelectLine(QComboBox* list, int32_t index) {
  list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}

// The right-hand column, beside the groups the dialog always had.
constexpr int kRightColumn = 267;

}  // namespace

TSettingsForm::TSettingsForm(QWidget* parent) : QDialog(parent) {
  setObjectName("SettingsForm");
  setWindowTitle("Settings");
  setFont(QFont("MS Sans Serif", 8));
  setFixedSize(kRightColumn + 259, 384);
  setAttribute(Qt::WA_QuitOnClose, false);
  CreateSessionGroup();
  CreateFormatGroup();
  CreateSoundGroup();
  CreateRecordingGroup();
  CreateHotkeysGroup();
  CreateShareGroup();
  BitBtn1 = new QPushButton("OK", this);
  BitBtn1->setGeometry((width() - 75) / 2, 352, 75, 25);
  BitBtn1->setDefault(true);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

  // Only a change that the user or the program makes to the number shown
  // reaches the timer, as the spin field's change event does.
  connect(FPSSpin, &QSpinBox::valueChanged, this, [this] { Guarded([this] { FPSSpinChange(); }); });
  // Only the user's choice of a line counts as a change of depth; the
  // program calls the handler itself after setting the index.
  connect(PixelFormatCBX, &QComboBox::activated, this,
          [this] { Guarded([this] { PixelFormatCBXChange(); }); });
}

void TSettingsForm::CreateSessionGroup() {
  GroupBox1 = new QGroupBox("Session", this);
  GroupBox1->setGeometry(8, 8, 251, 124);
  CursorCB = new QCheckBox("Include cursor", GroupBox1);
  CursorCB->setGeometry(12, 22, 225, 17);
  SetHint(CursorCB, "Ange om du vill att muspekaren skall synas i klippet", false);
  JpegCB = new QCheckBox("Use JPEg compression", GroupBox1);
  JpegCB->setGeometry(12, 44, 225, 17);
  SetHint(JpegCB, "Komprimerar tillfälliga bilder för att spara diskutrymme", false);
  AreaCB = new QCheckBox("Show area while recording", GroupBox1);
  AreaCB->setGeometry(12, 66, 225, 17);
  FPSLabel = new QLabel("Frames per second", GroupBox1);
  FPSLabel->setGeometry(12, 94, 120, 17);
  FPSSpin = new QSpinBox(GroupBox1);
  FPSSpin->setGeometry(150, 90, 60, 22);
  FPSSpin->setRange(1, 20);
  FPSSpin->setSingleStep(1);
  FPSSpin->setValue(8);
  FPSLabel->setBuddy(FPSSpin);
}

void TSettingsForm::CreateFormatGroup() {
  GroupBox2 = new QGroupBox("File format", this);
  GroupBox2->setGeometry(8, 140, 251, 146);
  VideoSizeLabel = new QLabel("Resolution", GroupBox2);
  VideoSizeLabel->setGeometry(12, 20, 225, 14);
  VideoSizeCBX = new QComboBox(GroupBox2);
  VideoSizeCBX->setGeometry(12, 35, 227, 22);
  VideoSizeCBX->addItems({QString::fromUtf8("Ange själv"), "320 x 240", "640 x 480", "1024 x 768"});
  SetHint(VideoSizeCBX, "Ange en standardstorlek eller rita din egna rektangel", true);
  PixelFormatLabel = new QLabel("Depth", GroupBox2);
  PixelFormatLabel->setGeometry(12, 61, 225, 14);
  PixelFormatCBX = new QComboBox(GroupBox2);
  PixelFormatCBX->setGeometry(12, 76, 227, 22);
  PixelFormatCBX->addItems({"1 bit", "4 bit", "8 bit", "15 bit", "16 bit", "24 bit", "32 bit"});
  SetHint(PixelFormatCBX, "Pixelformatet på videon", true);
  CompressionLabel = new QLabel("Compression", GroupBox2);
  CompressionLabel->setGeometry(12, 102, 225, 14);
  CompressionCBX = new QComboBox(GroupBox2);
  CompressionCBX->setGeometry(12, 117, 227, 22);
  CompressionCBX->addItem("No Compression");
  SetHint(CompressionCBX, "Ange den komprimering du vill att det slutliga filmklippet ska ha", true);
  VideoSizeLabel->setBuddy(VideoSizeCBX);
  PixelFormatLabel->setBuddy(PixelFormatCBX);
  CompressionLabel->setBuddy(CompressionCBX);
}

void TSettingsForm::CreateSoundGroup() {
  SoundGroup = new QGroupBox("Sound", this);
  SoundGroup->setGeometry(kRightColumn, 8, 251, 52);
  SoundCBX = new QComboBox(SoundGroup);
  SoundCBX->setObjectName("SoundCBX");
  SoundCBX->setGeometry(12, 20, 227, 22);
  SoundCBX->addItems({"No sound", "Microphone", "Desktop audio", "Microphone and desktop audio"});
  SoundCBX->setCurrentIndex(0);
}

void TSettingsForm::CreateRecordingGroup() {
  RecordingGroup = new QGroupBox("Recording", this);
  RecordingGroup->setGeometry(kRightColumn, 66, 251, 72);
  DelayLabel = new QLabel("Delay before recording", RecordingGroup);
  DelayLabel->setGeometry(12, 24, 136, 17);
  DelaySpin = new QSpinBox(RecordingGroup);
  DelaySpin->setObjectName("DelaySpin");
  DelaySpin->setGeometry(150, 20, 60, 22);
  DelaySpin->setRange(0, 10);
  DelaySpin->setSuffix(" s");
  DelaySpin->setValue(0);
  DelayLabel->setBuddy(DelaySpin);
  HideWindowCB = new QCheckBox("Hide this window while recording", RecordingGroup);
  HideWindowCB->setObjectName("HideWindowCB");
  HideWindowCB->setGeometry(12, 48, 235, 17);
  HideWindowCB->setToolTip(
      "So that it never shows in the video. Stop from the tray icon or with the hotkey.");
}

void TSettingsForm::CreateHotkeysGroup() {
  HotkeysGroup = new QGroupBox("Hotkeys", this);
  HotkeysGroup->setGeometry(kRightColumn, 144, 251, 142);
  RecordKeyLabel = new QLabel("Start/stop", HotkeysGroup);
  RecordKeyLabel->setGeometry(12, 24, 90, 17);
  RecordKeyEdit = new QKeySequenceEdit(HotkeysGroup);
  RecordKeyEdit->setObjectName("RecordKeyEdit");
  RecordKeyEdit->setGeometry(104, 20, 135, 22);
  PauseKeyLabel = new QLabel("Pause/resume", HotkeysGroup);
  PauseKeyLabel->setGeometry(12, 50, 90, 17);
  PauseKeyEdit = new QKeySequenceEdit(HotkeysGroup);
  PauseKeyEdit->setObjectName("PauseKeyEdit");
  PauseKeyEdit->setGeometry(104, 46, 135, 22);
  for (QKeySequenceEdit* edit : {RecordKeyEdit, PauseKeyEdit}) {
    edit->setClearButtonEnabled(true);
    // One combination, not a sequence of them: the first is kept.
    connect(edit, &QKeySequenceEdit::editingFinished, this, [edit] { SetKeyText(edit, KeyText(edit)); });
  }
  RecordKeyLabel->setBuddy(RecordKeyEdit);
  PauseKeyLabel->setBuddy(PauseKeyEdit);
  HotkeysNote = new QLabel(HotkeysGroup);
  HotkeysNote->setObjectName("HotkeysNote");
  HotkeysNote->setGeometry(12, 74, 227, 62);
  HotkeysNote->setWordWrap(true);
  HotkeysNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void TSettingsForm::CreateShareGroup() {
  ShareGroup = new QGroupBox("MP4, WebM and GIF", this);
  ShareGroup->setGeometry(8, 292, kRightColumn + 251 - 8, 52);
  auto* label = new QLabel("Quality", ShareGroup);
  label->setGeometry(12, 24, 120, 17);
  ShareQualityCBX = new QComboBox(ShareGroup);
  ShareQualityCBX->setObjectName("ShareQualityCBX");
  ShareQualityCBX->setGeometry(150, 20, 140, 22);
  ShareQualityCBX->addItems({"Small file", "Balanced", "Sharp"});
  ShareQualityCBX->setCurrentIndex(1);
  label->setBuddy(ShareQualityCBX);
  auto* note = new QLabel("for .mp4, .webm and .gif", ShareGroup);
  note->setGeometry(300, 24, 206, 17);
  ShareQualityCBX->setToolTip(
      "Small file: fewer colours and details. Sharp: text as on the screen, larger files. AVI videos take "
      "the compression above.");
}

TVideoQuality TSettingsForm::ShareQuality() const {
  return static_cast<TVideoQuality>(std::clamp(ShareQualityCBX->currentIndex(), 0, 2));
}

void TSettingsForm::PixelFormatCBXChange() {
  if (!MainForm) return;
  MainForm->AviWriter->SetPixelFormat(SelectedPixelFormat());
  FLines = CompressionLines(*MainForm->AviWriter);
  CompressionCBX->clear();
  for (const std::string& line : FLines) CompressionCBX->addItem(QString::fromStdString(line));
  CompressionCBX->setCurrentIndex(-1);
  ShowCompressionList();
}

void TSettingsForm::MarkCompressionList(const TPoint* size) {
  FMarkedFor = size ? std::optional<TPoint>(*size) : std::nullopt;
  ShowCompressionList();
}

void TSettingsForm::ShowCompressionList() {
  if (!MainForm) return;
  for (int i = 0; i < CompressionCBX->count() && static_cast<size_t>(i) < FLines.size(); ++i) {
    const std::string& line = FLines[static_cast<size_t>(i)];
    const std::string need =
        FMarkedFor ? CompressionNeed(*MainForm->AviWriter, line, *FMarkedFor) : std::string();
    CompressionCBX->setItemText(i, QString::fromStdString(MarkedLine(line, need)));
  }
}

void TSettingsForm::FPSSpinChange() {
  if (MainForm) MainForm->RecordTimer->setInterval(1000 / FPSSpin->value());
}

QString TSettingsForm::KeyText(const QKeySequenceEdit* edit) {
  const QKeySequence keys = edit->keySequence();
  return keys.isEmpty() ? QString() : QKeySequence(keys[0]).toString(QKeySequence::PortableText);
}

void TSettingsForm::SetKeyText(QKeySequenceEdit* edit, const QString& text) {
  const QKeySequence keys = QKeySequence::fromString(text, QKeySequence::PortableText);
  edit->setKeySequence(keys.isEmpty() ? QKeySequence() : QKeySequence(keys[0]));
}

TPixelFormat TSettingsForm::SelectedPixelFormat() const {
  int index = PixelFormatCBX->currentIndex();
  if (index < 0 || index > 6) return pfDevice;
  return static_cast<TPixelFormat>(index + 1);
}

void TSettingsForm::ShowInOrder(const TSettingsValues& v, int count, bool showArea) {
  if (count > 0) CursorCB->setChecked(v.IncludeCursor);
  if (count > 1) JpegCB->setChecked(v.UseJpegFormat);
  if (count > 2) {
    FPSSpin->setValue(v.FPS);  // held within 1 to 20
    FPSSpinChange();           // also when the field already showed the number
  }
  if (count > 3) SelectLine(VideoSizeCBX, v.VideoSize);
  if (count > 4) {
    SelectLine(PixelFormatCBX, v.PixelFormat);
    PixelFormatCBXChange();
  }
  if (count > 5) SelectLine(CompressionCBX, v.Compression);
  if (count > 5 && showArea) AreaCB->setChecked(v.ShowArea);
}

void TSettingsForm::ShowLater(const TSettingsValues& v) {
  SoundCBX->setCurrentIndex(v.Sound >= 0 && v.Sound < SoundCBX->count() ? v.Sound : 0);
  DelaySpin->setValue(v.RecordingDelay);  // held within 0 to 10
  HideWindowCB->setChecked(v.HideWhileRecording);
  SetKeyText(RecordKeyEdit, QString::fromStdString(v.HotkeyStartStop));
  SetKeyText(PauseKeyEdit, QString::fromStdString(v.HotkeyPauseResume));
  ShareQualityCBX->setCurrentIndex(v.ShareQuality >= 0 && v.ShareQuality <= 2 ? v.ShareQuality : 1);
}

TSettingsValues TSettingsForm::Values() const {
  TSettingsValues v;
  v.IncludeCursor = CursorCB->isChecked();
  v.UseJpegFormat = JpegCB->isChecked();
  v.FPS = FPSSpin->value();
  v.VideoSize = VideoSizeCBX->currentIndex();
  v.PixelFormat = PixelFormatCBX->currentIndex();
  v.Compression = CompressionCBX->currentIndex();
  v.ShowArea = AreaCB->isChecked();
  v.Sound = SoundCBX->currentIndex();
  v.RecordingDelay = DelaySpin->value();
  v.HideWhileRecording = HideWindowCB->isChecked();
  v.HotkeyStartStop = KeyText(RecordKeyEdit).toStdString();
  v.HotkeyPauseResume = KeyText(PauseKeyEdit).toStdString();
  v.ShareQuality = ShareQualityCBX->currentIndex();
  return v;
}

void TSettingsForm::PlaceBeside(const QRect& mainWindow) {
  QPoint at(mainWindow.left() - frameGeometry().width(), mainWindow.top());
  // A screen too small for both keeps the dialog on it, over the window if need be.
  if (const QScreen* screen = QGuiApplication::screenAt(mainWindow.topLeft())) {
    const QRect room = screen->availableGeometry();
    at.setX(
        std::clamp(at.x(), room.left(), std::max(room.left(), room.right() + 1 - frameGeometry().width())));
    at.setY(
        std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() + 1 - frameGeometry().height())));
  }
  move(at);
}
