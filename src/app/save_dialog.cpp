#include "save_dialog.h"

#include <QFileSystemModel>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

namespace {

// The filters in their order, each with the format it stands for.
struct TFilter {
  const char* Text;
  TVideoFormat Format;
};
const TFilter kFilters[] = {{"AVI (*.avi)", TVideoFormat::Avi},
                            {"MP4 video (*.mp4)", TVideoFormat::Mp4},
                            {"WebM video (*.webm)", TVideoFormat::WebM},
                            {"GIF animation (*.gif)", TVideoFormat::Gif}};

TVideoFormat FilterFormat(const QString& filter) {
  for (const TFilter& f : kFilters)
    if (filter == f.Text) return f.Format;
  return TVideoFormat::Avi;  // every file: the AVI, as ever
}

}  // namespace

TSaveDialog::TSaveDialog(QWidget* parent) : QFileDialog(parent) {
  setObjectName("SaveDialog1");
  setAcceptMode(QFileDialog::AcceptSave);
  setFileMode(QFileDialog::AnyFile);
  setDefaultSuffix("avi");
  QStringList filters;
  for (const TFilter& f : kFilters) filters << f.Text;
  setNameFilters(filters << kAllFilesFilter);
  setOption(QFileDialog::DontUseNativeDialog);
  // Qt reads "*.*" literally, which would hide the files without an
  // extension, common here; that filter lists every file. Qt has also
  // given the name the filter's extension "*" by then: the name keeps its own.
  connect(this, &QFileDialog::filterSelected, this, [this](const QString& filter) {
    setDefaultSuffix(FormatExtension(FilterFormat(filter)));
    ShowSoundNote();
    if (filter != kAllFilesFilter) return;
    if (auto* model = findChild<QFileSystemModel*>()) model->setNameFilters({"*"});
    if (auto* name = findChild<QLineEdit*>("fileNameEdit"); name && name->text().endsWith(".*"))
      name->setText(name->text().chopped(2) + FNameSuffix);
  });
  // What the name ended with before a filter was chosen.
  if (auto* name = findChild<QLineEdit*>("fileNameEdit"))
    connect(name, &QLineEdit::textChanged, this, [this](const QString& text) {
      ShowSoundNote();
      if (text.endsWith(".*")) return;
      const qsizetype dot = text.lastIndexOf('.');
      FNameSuffix = dot > 0 ? text.mid(dot) : QString();
    });
  // Under the names and filters, a line about the sound.
  FSoundNote = new QLabel(this);
  FSoundNote->setObjectName("SoundNote");
  FSoundNote->setWordWrap(true);
  if (auto* grid = qobject_cast<QGridLayout*>(layout()))
    grid->addWidget(FSoundNote, grid->rowCount(), 0, 1, grid->columnCount());
  FSoundNote->hide();
}

TVideoFormat TSaveDialog::ChosenFormat(const QString& name) const {
  TVideoFormat format;
  if (FormatOfName(name.toStdString(), format)) return format;
  return FilterFormat(selectedNameFilter());
}

void TSaveDialog::ShowSoundNote() {
  const auto* name = findChild<QLineEdit*>("fileNameEdit");
  const bool gif = ChosenFormat(name ? name->text() : QString()) == TVideoFormat::Gif;
  FSoundNote->setText(FWithSound && gif ? "A GIF animation has no sound: the recording's sound is left out."
                                        : QString());
  FSoundNote->setVisible(!FSoundNote->text().isEmpty());
}

QString TSaveDialog::SoundNote() const {
  return FSoundNote->text();
}

QString TSaveDialog::Ask(bool withSound) {
  FWithSound = withSound;
  if (!FLastName.isEmpty()) selectFile(FLastName);
  ShowSoundNote();
  if (exec() != QDialog::Accepted || selectedFiles().isEmpty()) return QString();
  FLastName = selectedFiles().first();
  FFormat = ChosenFormat(FLastName);
  return FLastName;
}
