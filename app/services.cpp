#include "app/services.h"

#include <QAction>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QPropertyAnimation>
#include <QScreen>
#include <QUiLoader>

namespace {

// Passes the events of one type that reach its parent to a handler function.
class HandlerFilter : public QObject {
 public:
  HandlerFilter(QObject* target, QEvent::Type type, EventHandler handler)
      : QObject(target), nType(type), pHandler(handler) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    // A filter on the application object also sees the events of every other object.
    if (watched != parent() || event->type() != nType) return false;
    return pHandler(event) == kNoErr;
  }

 private:
  QEvent::Type nType;
  EventHandler pHandler;
};

void DefaultCommand(QWidget* window, FourCharCode command) {
  if (command == kCommandQuit) window->close();
}

FourCharCode CommandOf(const QAction* action) {
  const QByteArray code = action->property("command").toString().toLatin1();
  if (code.size() != 4) return 0;
  const char text[5] = {code[0], code[1], code[2], code[3], 0};
  return FourCC(text);
}

}  // namespace

QString ControlObjectName(ControlID control) {
  const char signature[5] = {static_cast<char>(control.signature >> 24),
                             static_cast<char>(control.signature >> 16),
                             static_cast<char>(control.signature >> 8),
                             static_cast<char>(control.signature), 0};
  return QStringLiteral("%1_%2").arg(QLatin1String(signature)).arg(control.id);
}

Status CreateWindowFromForm(const QString& source, const char* windowName,
                            const char* menuBarName, QMainWindow** window) {
  *window = nullptr;
  QFile file(source);
  if (!file.open(QIODevice::ReadOnly)) return kStatusFormNotFound;
  QUiLoader loader;
  QWidget* root = loader.load(&file, nullptr);
  if (!root) return kStatusFormNotFound;
  auto* main = qobject_cast<QMainWindow*>(root);
  if (!main) {
    delete root;
    return kStatusFormWrongType;
  }
  if (main->objectName() != QLatin1String(windowName) ||
      !main->findChild<QMenuBar*>(QLatin1String(menuBarName))) {
    delete root;
    return kStatusFormObjectMissing;
  }
  *window = main;
  return kNoErr;
}

Status InstallEventHandler(QObject* target, QEvent::Type type, EventHandler handler) {
  if (!target || !handler) return kStatusNotHandled;
  target->installEventFilter(new HandlerFilter(target, type, handler));
  return kNoErr;
}

Status InstallCommandHandler(QWidget* window, CommandHandler handler) {
  if (!window || !handler) return kStatusNotHandled;
  for (QAction* action : window->findChildren<QAction*>()) {
    const FourCharCode command = CommandOf(action);
    if (command == 0) continue;
    QObject::connect(action, &QAction::triggered, window, [window, handler, command] {
      if (handler(command) == kStatusNotHandled) DefaultCommand(window, command);
    });
  }
  return kNoErr;
}

void EnableCommand(QWidget* window, FourCharCode command, bool enable) {
  if (!window) return;
  for (QAction* action : window->findChildren<QAction*>()) {
    if (CommandOf(action) == command) action->setEnabled(enable);
  }
}

void QuitApplicationEventLoop() { QCoreApplication::exit(0); }

void FitWindowToScreen(QWidget* window) {
  const QScreen* screen = window->screen();
  if (!screen) return;
  // The form's size is in device-independent pixels; a large scale factor on a small screen
  // could still make it too big.
  const QSize room = screen->availableSize() * 9 / 10;
  window->resize(window->size().boundedTo(room));
}

void FadeOutWindow(QWidget* window) {
  if (!window || !window->isVisible()) return;
  // Platforms without a screen have nothing to fade (and would warn at every step). Where the
  // window system cannot make windows translucent, the fade simply does not show.
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
    window->hide();
    return;
  }
  QPropertyAnimation fade(window, "windowOpacity");
  fade.setDuration(200);
  fade.setStartValue(1.0);
  fade.setEndValue(0.0);
  QEventLoop loop;
  QObject::connect(&fade, &QPropertyAnimation::finished, &loop, &QEventLoop::quit);
  fade.start();
  loop.exec();
  window->hide();
}
