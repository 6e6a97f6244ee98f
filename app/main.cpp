// Zendrix, the desktop application: wires the QApplication to the shell.
#include <QApplication>
#include <QIcon>

#include "app/shell.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Zendrix"));
  QApplication::setApplicationVersion(QStringLiteral(ZDX_VERSION));
  QGuiApplication::setDesktopFileName(QStringLiteral("io.zendrix.Zendrix"));
  const QIcon builtIn(QStringLiteral(":/icons/io.zendrix.Zendrix.svg"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("io.zendrix.Zendrix"), builtIn));

  AppOptions options;
  options.documents = DocumentsFromArguments(QApplication::arguments());
  return ExitStatus(RunApp(options));
}
