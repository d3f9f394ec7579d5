#include "about_f.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

#include "Api_Funcs.h"

const char* const kMakerWebPage = "https://www.quorvane.example/";

TAboutForm* AboutForm = nullptr;

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit Click();
}

namespace {

QLabel* PlacedLabel(QLabel* label, const char* name, int left, int top) {
  label->setObjectName(name);
  label->move(left, top);
  label->adjustSize();
  return label;
}

}  // namespace

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutForm");
  setWindowTitle("About Pelimar");
  setFont(QFont("MS Sans Serif", 8));
  setFixedSize(331, 355);
  setAttribute(Qt::WA_QuitOnClose, false);

  Bevel1 = new QFrame(this);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setFrameShape(QFrame::Box);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Bevel1->setGeometry(8, 12, 41, 41);
  Image1 = new QLabel(this);
  Image1->setObjectName("Image1");
  Image1->setGeometry(12, 16, 32, 32);
  Image1->setAttribute(Qt::WA_TranslucentBackground);

  Label1 = new QLabel("Pelimar", this);
  QFont title("Verdana", 14);
  title.setBold(true);
  Label1->setFont(title);
  PlacedLabel(Label1, "Label1", 76, 16);
  PlacedLabel(Label5 = new QLabel("Version" + QString(33, '.'), this), "Label5", 76, 40);
  // The version covers the dots that run under it, as a leader to it.
  PlacedLabel(AppVer = new QLabel("1.0", this), "AppVer", 196, 40);
  AppVer->setAutoFillBackground(true);
  PlacedLabel(Label2 = new QLabel("Quorvane", this), "Label2", 80, 60);

  Label3 = new TLinkLabel(kMakerWebPage, this);
  Label3->setProperty("Tag", 0);
  QFont link = font();
  link.setUnderline(true);
  Label3->setFont(link);
  QPalette navy = Label3->palette();
  navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
  Label3->setPalette(navy);
  Label3->setCursor(Qt::PointingHandCursor);
  PlacedLabel(Label3, "Label3", 80, 76);
  connect(Label3, &TLinkLabel::Click, this, [this] { Label4Click(Label3); });

  Label6 = new QLabel("Videocapture the desktop", this);
  Label6->setObjectName("Label6");
  Label6->setGeometry(80, 93, 201, 16);
  Label6->setWordWrap(true);

  Bevel2 = new QFrame(this);
  Bevel2->setObjectName("Bevel2");
  Bevel2->setFrameShape(QFrame::HLine);
  Bevel2->setFrameShadow(QFrame::Sunken);
  Bevel2->setGeometry(8, 112, 313, 2);

  Button1 = new QPushButton("&OK", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(124, 326, 75, 25);
  Button1->setDefault(true);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

  FormCreate();
}

void TAboutForm::FormCreate() {
  AppVer->setText(QString::fromStdString(GetFileVersionText(ExecutablePath())));
  AppVer->adjustSize();
  Image1->setPixmap(QApplication::windowIcon().pixmap(32, 32));
}

void TAboutForm::Label4Click(QLabel* Sender) {
  // What the browser makes of the address is its own business: a failure
  // to open it is not reported.
  if (Sender && Sender->property("Tag").toInt() == 0) QDesktopServices::openUrl(QUrl(Sender->text()));
}

void TAboutForm::Button1Click() {
  accept();
}
