#include "app/shell.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QFileOpenEvent>
#include <QMainWindow>
#include <QTimer>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "app/display.h"
#include "app/intake.h"
#include "app/list_model.h"
#include "codec/format.h"
#include "jobs/process.h"
#include "jobs/requests.h"

QMainWindow* wndMain = nullptr;
QTimer* timer = nullptr;

namespace {

// Set when the event loop has ended; from then on a close only keeps the window open.
bool bStopping = false;

Status FileOpenHandler(QEvent* event) {
  return OpenDocumentsAE({static_cast<QFileOpenEvent*>(event)->file()});
}

Status StartUp(const AppOptions& options) {
  Status status = CreateWindowFromForm(options.formSource, kFormWindowName, kFormMenuBarName,
                                       &wndMain);
  if (status != kNoErr) return status;
  status = InstallCommandHandler(wndMain, AppCommandHandler);
  if (status != kNoErr) return status;
  status = InstallEventHandler(qApp, QEvent::FileOpen, FileOpenHandler);
  if (status != kNoErr) return status;
  status = InstallEventHandler(wndMain, QEvent::Close, WndEventHandler);
  if (status != kNoErr) return status;

  pbuff1 = static_cast<unsigned char*>(std::malloc(zdx::kChunkSize));
  pbuff2 = static_cast<unsigned char*>(std::malloc(zdx::kChunkSize));
  if (!pbuff1 || !pbuff2) return kStatusStartFailed;

  status = InitProcList();
  if (status != kNoErr) return status;
  if (!g_lock.Create()) return kStatusStartFailed;
  // No run is owed at start: intake signals one per file.
  if (g_thrd.AddFunction(ProcessThrd, 0) != 1) return kStatusStartFailed;
  // A null argument: the default job options, which replace existing outputs without asking.
  if (!g_thrd.Create(nullptr, 0)) return kStatusStartFailed;
  status = EnableListDrops(true);
  if (status != kNoErr) return status;
  if (InstallDisplayTimer(nullptr, &timer) != kNoErr) return kStatusStartFailed;
  return kNoErr;
}

// Stops the worker once it has processed every waiting request. The join runs on a helper
// thread while a local event loop keeps the window painting and the display timer taking the
// worker's posts, so the window shows the remaining work instead of freezing. Posts still wait
// for the display as they do while the application runs; the quit flag is set only when
// nobody will take posts any more: after the join, or at once if the loop was ended from
// outside, so a post can never wait for a display that is gone. The main thread does not touch
// g_thrd while the helper owns it: intake is closed, so nothing signals the worker.
void DrainQueue() {
  QEventLoop loop;
  std::thread joiner([&loop] {
    g_thrd.Destroy();
    // A file queued just before the close may have been signalled to a worker that was not
    // yet running the worker loop: the stop request then drops that run. Finish such requests
    // here, so that every queued file is processed before the application ends.
    ProcessThrd(nullptr);
    // Queued: the loop quits on its own thread, even if the join ends before the loop runs.
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  loop.exec();
  // Shows the worker's last post (its final row change) if the timer has not taken it yet.
  TimerCallback();
  g_stat.bQuit.store(true);
  joiner.join();
}

void Release() {
  delete timer;
  timer = nullptr;
  std::free(pbuff1);
  pbuff1 = nullptr;
  std::free(pbuff2);
  pbuff2 = nullptr;
  delete wndMain;
  wndMain = nullptr;
}

}  // namespace

Status WndEventHandler(QEvent* event) {
  if (event->type() != QEvent::Close) return kStatusNotHandled;
  // The window stays: it shows the remaining work until the queue is empty, then fades out.
  event->ignore();
  if (!bStopping) {
    bStopping = true;
    QuitApplicationEventLoop();
  }
  return kNoErr;
}

Status AppCommandHandler(FourCharCode command) {
  if (command != kCommandProc) return kStatusNotHandled;
  ChoiseFile();
  return kNoErr;
}

Status RunApp(const AppOptions& options) {
  bStopping = false;
  // The window never really closes: its close ends the event loop, and shutdown hides it.
  QApplication::setQuitOnLastWindowClosed(false);

  Status status = StartUp(options);
  if (status == kNoErr) {
    FitWindowToScreen(wndMain);
    wndMain->show();
    const QStringList documents = options.documents;
    QTimer::singleShot(0, wndMain, [documents] { OpenDocumentsAE(documents); });
    if (options.onRunning) QTimer::singleShot(0, wndMain, options.onRunning);
    QApplication::exec();

    bStopping = true;
    CloseIntake();
    DrainQueue();
    FadeOutWindow(wndMain);
  }
  Release();
  return status;
}

QStringList DocumentsFromArguments(const QStringList& arguments) {
  QStringList documents;
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    if (!arguments[i].isEmpty()) documents << QFileInfo(arguments[i]).absoluteFilePath();
  }
  return documents;
}

int ExitStatus(Status status) {
  if (status != kNoErr && (status & 0xFF) == 0) return 1;
  return status;
}
