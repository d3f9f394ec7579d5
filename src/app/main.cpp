#include <QApplication>
#include <QMainWindow>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pelimar");
  QMainWindow window;
  window.setWindowTitle("Pelimar");
  window.show();
  return app.exec();
}
