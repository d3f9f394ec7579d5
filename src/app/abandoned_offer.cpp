#include "abandoned_offer.h"

#include <QApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>

#include "base/file.h"

void OfferRecordingsBack(QWidget* parent,
                         const std::function<bool(std::unique_ptr<TRecordingFolder>)>& save) {
  std::vector<std::unique_ptr<TRecordingFolder>> abandoned = TRecordingFolder::Abandoned();
  for (std::unique_ptr<TRecordingFolder>& recording : abandoned) {
    // What the dead program half-wrote is of no use, whatever is chosen.
    recording->RemoveLeftovers();
    const TRecordingJournal& journal = recording->Journal();
    const QString when = QDateTime::fromMSecsSinceEpoch(journal.Started).toString("yyyy-MM-dd HH:mm:ss");
    // What is there to save, whatever the journal counted.
    const auto left = std::count_if(journal.Pictures.begin(), journal.Pictures.end(),
                                    [](const std::string& path) { return FileExists(path); });
    QString text = QString("A recording of %1 pictures from %2 was not saved.").arg(left).arg(when);
    if (static_cast<size_t>(left) < journal.Pictures.size()) {
      text.chop(1);
      const size_t missing = journal.Pictures.size() - static_cast<size_t>(left);
      text += missing == 1 ? QString("; 1 of its pictures is missing.")
                           : QString("; %1 of its pictures are missing.").arg(missing);
    }
    QMessageBox box(QMessageBox::Question, QApplication::applicationName(), text, QMessageBox::NoButton, parent);
    QPushButton* saveButton = box.addButton("Save...", QMessageBox::AcceptRole);
    QPushButton* discard = box.addButton("Discard", QMessageBox::DestructiveRole);
    QPushButton* later = box.addButton("Later", QMessageBox::RejectRole);
    box.setDefaultButton(saveButton);
    box.setEscapeButton(later);
    box.exec();
    if (box.clickedButton() == discard) {
      recording->Remove();
    } else if (box.clickedButton() == saveButton) {
      if (!save(std::move(recording))) return;
    }
    // "Later": the lock goes with the object, the folder stays.
  }
}
