#pragma once

#include <QFileDialog>
#include <QString>

inline const QString kAllFilesFilter = QStringLiteral("Alla filer (*.*)");

// The dialog that asks where a video goes: Qt's own, the same on every
// desktop, with the filters "AVI (*.avi)" and "Alla filer (*.*)" (every
// file, those without an extension too), the default extension ".avi", and
// a question before a file is replaced.
class TSaveDialog : public QFileDialog {
  Q_OBJECT

 public:
  explicit TSaveDialog(QWidget* parent);
  // Asks, proposing the file chosen last; empty when the user cancelled.
  QString Ask();

 private:
  QString FNameSuffix;  // of the name in the dialog, with its dot
  QString FLastName;
};
