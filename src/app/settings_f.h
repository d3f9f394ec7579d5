#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include "base/types.h"

// The settings dialog. Its controls are the only store of the user's
// choices: everyone who needs a setting reads the control.
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
  QGroupBox* SoundGroup;  // "Sound"
  QComboBox* SoundCBX;    // a TSoundSource by index
  QGroupBox* RecordingGroup;  // "Recording"
  QLabel* DelayLabel;
  QSpinBox* DelaySpin;  // seconds of countdown before the first picture
  QCheckBox* HideWindowCB;
  QGroupBox* HotkeysGroup;  // "Hotkeys"
  QLabel* RecordKeyLabel;
  QKeySequenceEdit* RecordKeyEdit;
  QLabel* PauseKeyLabel;
  QKeySequenceEdit* PauseKeyEdit;
  QLabel* HotkeysNote;  // why hotkeys do not work, when they do not
  QPushButton* BitBtn1;

  // The writer takes the chosen depth and the compression list is built
  // afresh for it, with no line selected; a depth the writer refuses
  // raises its error and leaves writer and list as they were.
  void PixelFormatCBXChange();
  // The compressors that take frames of the writer's size and depth, with
  // the line chosen (its text) chosen again where it is still there.
  void FitCompressionList(const QString& chosen);
  QString ChosenCompression() const;
  // The capture timer runs at 1000 div the rate, in milliseconds.
  void FPSSpinChange();
  // pf1bit .. pf32bit for the depth list's lines 0 to 6, pfDevice for no line.
  TPixelFormat SelectedPixelFormat() const;
  // A hotkey field's combination as the registry keeps it ("Ctrl+Shift+F9",
  // empty for none), and back.
  static QString KeyText(const QKeySequenceEdit* edit);
  static void SetKeyText(QKeySequenceEdit* edit, const QString& text);
};

extern TSettingsForm* SettingsForm;
