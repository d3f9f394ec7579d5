#include "abandoned_offer.h"

#include <QApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QPushButton>

void OfferRecordingsBack(QWidget* parent,
                         const std::function<bool(std::unique_ptr<TRecordingFolder>)>& save) {
  std::vector<std::unique_ptr<TRecordingFolder>> abandoned = TRecordingFolder::Abandoned();
  for (std::unique_ptr<TRecordingFolder>& recording : abandoned) {
    // What the dead program half-wrote is of no use, whatever is chosen.
    recording->RemoveLeftovers();
    const TRecordingJournal& journal = recording->Journal();
    const QString when = QDateTime::fromMSecsSinceEpoch(journal.Started).toString("yyyy-MM-dd HH:mm:ss");
    QMessageBox box(
        QMessageBox::Question, QApplication::applicationName(),
        QString("A recording of %1 pictures from %2 was not saved.").arg(journal.Pictures.size()).arg(when),
        QMessageBox::NoButton, parent);
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
