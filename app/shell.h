// Start-up, the main window's handlers and shutdown of the desktop application.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>

#include "app/services.h"

class QEvent;
class QTimer;

// The menu command "Add File…".
inline constexpr FourCharCode kCommandProc = FourCC("proc");

// The main window, built from the form; null until then and after RunApp.
extern QMainWindow* wndMain;
// The display timer; null when none runs.
extern QTimer* timer;

struct AppOptions {
  // The form to build the window from.
  QString formSource = QString::fromLatin1(kFormSource);
  // Files to open, handed over as one open-documents request once the event loop runs.
  QStringList documents;
  // Called once the event loop runs, after the documents were handed over (tests use it to
  // steer the window).
  std::function<void()> onRunning;
};

// The application's life, on the main thread of a running QApplication. Start-up, in order:
// build wndMain from the form; connect the menu commands, the desktop's open-documents event
// and the window's close; allocate the worker's two chunk buffers; set up the list; create
// g_lock; register ProcessThrd as g_thrd's function 1 and start the worker; turn drops on the
// list on; start the display timer; show the window and run the event loop. The first failure
// skips the rest, shows nothing and is returned: the form's status, InitProcList's status, the
// drop switch's status, or kStatusStartFailed for memory, lock, worker function, worker thread
// or timer.
//
// Closing the window ends the event loop. Intake closes, and the window stays on screen and goes
// on showing progress while the worker finishes the request in work and every request still
// waiting; then the window fades out and RunApp returns kNoErr. The timer, the buffers and the
// window are released on every path. A worker thread left running by a failed start-up is
// stopped and joined when the process exits.
Status RunApp(const AppOptions& options);

// The window's close: it keeps the window open and ends the event loop (once); kNoErr. Other
// events: kStatusNotHandled.
Status WndEventHandler(QEvent* event);
// The menu commands: 'proc' runs ChoiseFile and answers kNoErr; any other command is left to
// the default handling (kStatusNotHandled).
Status AppCommandHandler(FourCharCode command);

// The files named on the command line (every argument after the program's name), made absolute.
QStringList DocumentsFromArguments(const QStringList& arguments);

// The process exit status for `status`. The system keeps only its low 8 bits, so a failure whose
// low 8 bits are 0 becomes 1 rather than reading as success.
int ExitStatus(Status status);
