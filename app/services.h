// The window-system services the shell relies on, over Qt Widgets: loading the form, finding a
// control by its ID, handing events and menu commands to plain handler functions, and the fade
// of a closing window. Everything else in app/ speaks in these terms, so the shell's logic reads
// as plain functions over statuses.
//
// Every call answers a status: 0 for success, something else for a failure (negative codes name
// the failure; the exit status of a failed start-up is one of them).
#pragma once

#include <QEvent>
#include <QString>
#include <QWidget>

#include <cstdint>

class QMainWindow;
class QObject;

using Status = int32_t;

inline constexpr Status kNoErr = 0;
// A handler leaves the event or command to the default handling.
inline constexpr Status kStatusNotHandled = -9874;
// The form cannot be opened or parsed.
inline constexpr Status kStatusFormNotFound = -10960;
// The form's top-level object is not a main window.
inline constexpr Status kStatusFormWrongType = -10961;
// The form lacks a named object (the window or its menu bar).
inline constexpr Status kStatusFormObjectMissing = -10962;
// No control of the asked ID is in the window.
inline constexpr Status kStatusControlNotFound = -30584;
// The list refused to add a row.
inline constexpr Status kStatusItemNotAdded = -4975;
// The list has no row or column of the asked ID.
inline constexpr Status kStatusItemNotFound = -4971;
// A cell refused a new value: every cell is read-only.
inline constexpr Status kStatusReadOnly = -4979;
// The list asked for a row that the request array does not hold.
inline constexpr Status kStatusNoRecord = 22;
// Anything else that failed during start-up (memory, lock, worker thread, timer).
inline constexpr Status kStatusStartFailed = -1;

// Four-character codes name list columns and menu commands ('FILE', 'proc').
using FourCharCode = uint32_t;
constexpr FourCharCode FourCC(const char (&code)[5]) {
  return static_cast<FourCharCode>(static_cast<unsigned char>(code[0])) << 24 |
         static_cast<FourCharCode>(static_cast<unsigned char>(code[1])) << 16 |
         static_cast<FourCharCode>(static_cast<unsigned char>(code[2])) << 8 |
         static_cast<FourCharCode>(static_cast<unsigned char>(code[3]));
}

// A control of the form: a signature and a number, stored in the form as the object name
// "<signature>_<id>" (for example "ZDXC_0").
struct ControlID {
  FourCharCode signature;
  int32_t id;
};
QString ControlObjectName(ControlID control);

// The main form, built into the application's resources.
inline constexpr char kFormSource[] = ":/forms/Zendrix.ui";
inline constexpr char kFormWindowName[] = "MainWindow";
inline constexpr char kFormMenuBarName[] = "MenuBar";

// Builds the window from the form file at `source` (a path or a ":/" resource): its top-level
// object must be a main window named `windowName` with a menu bar named `menuBarName`. On success
// `*window` is the new, hidden, parentless window; on failure it is null and nothing was shown.
Status CreateWindowFromForm(const QString& source, const char* windowName,
                            const char* menuBarName, QMainWindow** window);

// The child of `window` that carries `control`'s object name and is a T.
template <class T>
Status GetControlByID(QWidget* window, ControlID control, T** out);

// Event handlers get the event and answer kNoErr when they handled it, which also keeps the
// event from its target, or kStatusNotHandled to let it through.
using EventHandler = Status (*)(QEvent* event);
// Calls `handler` for every event of `type` that reaches `target`. The handler lives as long as
// the target.
Status InstallEventHandler(QObject* target, QEvent::Type type, EventHandler handler);

// Menu commands: each action of the form that carries the dynamic property "command" (four
// characters) is a command. A command handler answers kNoErr or kStatusNotHandled; unhandled
// commands get the default handling: 'quit' closes the window that holds the action.
inline constexpr FourCharCode kCommandQuit = FourCC("quit");
using CommandHandler = Status (*)(FourCharCode command);
Status InstallCommandHandler(QWidget* window, CommandHandler handler);
// Enables or disables the actions of `window` that send `command`.
void EnableCommand(QWidget* window, FourCharCode command, bool enable);

// Quits the application's event loop (and any loop nested in it).
void QuitApplicationEventLoop();

// Shrinks `window`, where needed, to fit the screen it will show on.
void FitWindowToScreen(QWidget* window);

// Fades `window` out and hides it; returns when it is hidden.
void FadeOutWindow(QWidget* window);

template <class T>
Status GetControlByID(QWidget* window, ControlID control, T** out) {
  *out = window ? window->findChild<T*>(ControlObjectName(control)) : nullptr;
  return *out ? kNoErr : kStatusControlNotFound;
}
