#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <optional>
#include <string>
#include <vector>

#include "base/types.h"
#include "share/video_formats.h"
#include "stored_settings.h"

// The settings dialog. Its controls are the only store of the user's
// choices: everyone who needs a setting reads the control. The groups of
// the recording and the file stand on the left; sound, the countdown and
// the hotkeys on the right, so the dialog fits a screen 600 pixels high.
class TSettingsForm : public QDialog {
  Q_OBJECT

 public:
  explicit TSettingsForm(QWidget* parent = nullptr);

  QGroupBox* GroupBox1;  // "Session"
  QCheckBox* CursorCB;
  QCheckBox* JpegCB;
  QCheckBox* AreaCB;
  QLabel* FPSLabel;
  QSpinBox* FPSSpin;
  QGroupBox* GroupBox2;  // "File format"
  QLabel* VideoSizeLabel;
  QComboBox* VideoSizeCBX;
  QLabel* PixelFormatLabel;
  QComboBox* PixelFormatCBX;
  QLabel* CompressionLabel;
  QComboBox* CompressionCBX;
  QGroupBox* SoundGroup;      // "Sound"
  QComboBox* SoundCBX;        // a TSoundSource by index
  QGroupBox* RecordingGroup;  // "Recording"
  QLabel* DelayLabel;
  QSpinBox* DelaySpin;  // seconds of countdown before the first picture
  QCheckBox* HideWindowCB;
  QGroupBox* HotkeysGroup;  // "Hotkeys"
  QLabel* RecordKeyLabel;
  QKeySequenceEdit* RecordKeyEdit;
  QLabel* PauseKeyLabel;
  QKeySequenceEdit* PauseKeyEdit;
  QLabel* HotkeysNote;         // why hotkeys do not work, when they do not
  QGroupBox* ShareGroup;       // "MP4, WebM and GIF"
  QComboBox* ShareQualityCBX;  // a TVideoQuality by index
  QPushButton* BitBtn1;

  // The writer takes the chosen depth and the compression list is built
  // afresh for it, with no line selected; a depth the writer refuses
  // raises its error and leaves writer and list as they were.
  void PixelFormatCBXChange();
  // Marks each compressor that cannot take pictures of size with the
  // reason ("H264 H.264 x264 (needs even sides)"); the lines stay where
  // they are and the choice stays as it is. Null: no marks.
  void MarkCompressionList(const TPoint* size);
  // The capture timer runs at 1000 div the rate, in milliseconds.
  void FPSSpinChange();
  // pf1bit .. pf32bit for the depth list's lines 0 to 6, pfDevice for no line.
  TPixelFormat SelectedPixelFormat() const;
  // The quality chosen for MP4, WebM and GIF videos.
  TVideoQuality ShareQuality() const;
  // A hotkey field's combination as the registry keeps it ("Ctrl+Shift+F9",
  // empty for none), and back.
  static QString KeyText(const QKeySequenceEdit* edit);
  static void SetKeyText(QKeySequenceEdit* edit, const QString& text);

  // Shows the first settings in the order they are read, the first count
  // of the six before the outline (and the outline when it was read): each
  // takes effect at once, so a depth the writer refuses raises and stops
  // them there.
  void ShowInOrder(const TSettingsValues& values, int count, bool showArea);
  // Shows the later settings, each on its own.
  void ShowLater(const TSettingsValues& values);
  // What the controls hold.
  TSettingsValues Values() const;
  // With its right edge on the main window's left edge and tops level,
  // kept on the screen.
  void PlaceBeside(const QRect& mainWindow);

 private:
  void CreateSessionGroup();
  void CreateFormatGroup();
  void CreateSoundGroup();
  void CreateRecordingGroup();
  void CreateHotkeysGroup();
  void CreateShareGroup();
  void ShowCompressionList();

  std::vector<std::string> FLines;   // the compression list without marks
  std::optional<TPoint> FMarkedFor;  // the size its marks are for
};

extern TSettingsForm* SettingsForm;
