#include "qt_test_support.h"

#include <QCursor>
#include <filesystem>

#include "Main_F.h"
#include "areaform_f.h"
#include "platform/recording_folder.h"
#include "platform/registry.h"
#include "save_dialog.h"
#include "settings_f.h"

void StartWindow(std::unique_ptr<TMainForm>& form, bool freshSettings) {
  if (freshSettings) std::filesystem::remove(HivePath());
  form = std::make_unique<TMainForm>();
  form->show();
  QVERIFY(QTest::qWaitForWindowExposed(form.get()));
}

void CloseWindow(std::unique_ptr<TMainForm>& form) {
  if (!form) return;
  form->close();
  form.reset();
}

TWindowSuite::TWindowSuite(const TXServer& server, const TTempFolder& temp) : Server(&server), Temp(&temp) {}

TWindowSuite::~TWindowSuite() = default;

void TWindowSuite::init() {
  StartWindow(Form);
}

void TWindowSuite::cleanup() {
  CloseWindow(Form);
  QVERIFY(EverythingUnder(RecordingsFolder()).empty());
}

void ShowOverlay(TMainForm& form) {
  form.SetAreaBtn->setChecked(true);
  form.SetAreaBtnClick();
  QVERIFY(AreaForm->isVisible());
}

void CloseOverlay(TMainForm& form) {
  form.SetAreaBtn->setChecked(false);
  form.SetAreaBtnClick();
  QVERIFY(!AreaForm->isVisible());
}

void DragOnOverlay(QPoint from, QPoint to) {
  QCursor::setPos(from);
  QTRY_COMPARE(QCursor::pos(), from);
  AreaForm->DeskTopImageMouseDown();
  AreaForm->PaintBox1MouseMove(to.x(), to.y());
  AreaForm->FormMouseUp();
}

void MarkArea(TMainForm& form, QPoint from, QPoint to) {
  SettingsForm->VideoSizeCBX->setCurrentIndex(0);
  ShowOverlay(form);
  DragOnOverlay(from, to);
  CloseOverlay(form);
}

void SaveRecording(TMainForm& form, const std::string& path) {
  QTimer::singleShot(0, [&form, path] {
    QTRY_VERIFY(form.SaveDialog1->isVisible());
    form.SaveDialog1->selectFile(QString::fromStdString(path));
    static_cast<QDialog*>(form.SaveDialog1)->accept();
  });
  form.SaveBtn->click();
  form.WaitForExport();
}

TMessageBoxes::TMessageBoxes(QMessageBox::StandardButton answer) {
  QObject::connect(&FPoll, &QTimer::timeout, [this, answer] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      Texts << box->text();
      Owners << box->parentWidget();
      if (QAbstractButton* button = box->button(answer))
        button->click();
      else
        box->accept();
    }
  });
  FPoll.start(5);
}
