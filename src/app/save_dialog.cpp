#include "save_dialog.h"

#include <QFileSystemModel>
#include <QLineEdit>

TSaveDialog::TSaveDialog(QWidget* parent) : QFileDialog(parent) {
  setObjectName("SaveDialog1");
  setAcceptMode(QFileDialog::AcceptSave);
  setFileMode(QFileDialog::AnyFile);
  setDefaultSuffix("avi");
  setNameFilters({"AVI (*.avi)", kAllFilesFilter});
  setOption(QFileDialog::DontUseNativeDialog);
  // Qt reads "*.*" literally, which would hide the files without an
  // extension, common here; that filter lists every file. Qt has also
  // given the name the filter's extension "*" by then: the name keeps its own.
  connect(this, &QFileDialog::filterSelected, this, [this](const QString& filter) {
    if (filter != kAllFilesFilter) return;
    if (auto* model = findChild<QFileSystemModel*>()) model->setNameFilters({"*"});
    if (auto* name = findChild<QLineEdit*>("fileNameEdit"); name && name->text().endsWith(".*"))
      name->setText(name->text().chopped(2) + FNameSuffix);
  });
  // What the name ended with before a filter was chosen.
  if (auto* name = findChild<QLineEdit*>("fileNameEdit"))
    connect(name, &QLineEdit::textChanged, this, [this](const QString& text) {
      if (text.endsWith(".*")) return;
      const qsizetype dot = text.lastIndexOf('.');
      FNameSuffix = dot > 0 ? text.mid(dot) : QString();
    });
}

QString TSaveDialog::Ask() {
  if (!FLastName.isEmpty()) selectFile(FLastName);
  if (exec() != QDialog::Accepted || selectedFiles().isEmpty()) return QString();
  FLastName = selectedFiles().first();
  return FLastName;
}
