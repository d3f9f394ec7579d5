#pragma once

#include <QFileDialog>
#include <QString>

#include "share/video_formats.h"

class QLabel;

inline const QString kAllFilesFilter = QStringLiteral("Alla filer (*.*)");

// The dialog that asks where a video goes: Qt's own, the same on every
// desktop, with the filters "AVI (*.avi)", the sharing formats' and "Alla
// filer (*.*)" (every file, those without an extension too), the chosen
// filter's extension added to a name without one (".avi" for every file),
// and a question before a file is replaced.
class TSaveDialog : public QFileDialog {
  Q_OBJECT

 public:
  explicit TSaveDialog(QWidget* parent);
  // Asks, proposing the file chosen last; empty when the user cancelled.
  // withSound: the recording has sound, which a GIF animation leaves out;
  // the dialog says so while a GIF is chosen.
  QString Ask(bool withSound = false);
  // The format of the file chosen: the one its extension names, else the
  // chosen filter's (AVI for every file).
  TVideoFormat Format() const { return FFormat; }
  // What the dialog says of the sound; empty when it says nothing.
  QString SoundNote() const;

 private:
  TVideoFormat ChosenFormat(const QString& name) const;
  void ShowSoundNote();

  QString FNameSuffix;  // of the name in the dialog, with its dot
  QString FLastName;
  QLabel* FSoundNote = nullptr;
  bool FWithSound = false;
  TVideoFormat FFormat = TVideoFormat::Avi;
};
