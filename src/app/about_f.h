#pragma once

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

// The maker's web page, shown in the About box and opened by the main
// window's "&Quorvane" button.
extern const char* const kMakerWebPage;

// A label that reports a click of the left button.
class TLinkLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;

 signals:
  void Click();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// The About box: icon, name, file version read from the executable, maker
// and web page. A fresh one is made for each showing.
class TAboutForm : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutForm(QWidget* parent = nullptr);

  QFrame* Bevel1;
  QLabel* Image1;
  QLabel* Label1;
  QLabel* Label5;
  QLabel* AppVer;
  QLabel* Label2;
  TLinkLabel* Label3;
  QLabel* Label6;
  QFrame* Bevel2;
  QPushButton* Button1;

  void FormCreate();
  // Opens the web address that a label shows (labels with Tag 0).
  void Label4Click(QLabel* Sender);
  void Button1Click();
};

extern TAboutForm* AboutForm;
