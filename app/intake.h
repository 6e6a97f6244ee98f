// File intake: every file reaches the queue through AddNewFile, whether it was given on the
// command line or by the desktop (open-documents), dropped on the list, or chosen with
// "Add File…". All of it runs on the main thread.
#pragma once

#include <QStringList>

#include "app/services.h"

class QAbstractItemView;
class QMimeData;

// Queues the file at `path` (the file system's bytes, NUL-terminated): appends a request in the
// state "Wait" to g_requests, adds its row to the list and signals the worker, all under g_lock,
// so the worker never sees a request without its row. Returns 1 when queued, else 0 with
// nothing changed:
// - the path is empty or does not fit a request's path field (259 bytes and the terminator);
// - the file cannot be opened for reading, is not a regular file (a folder, a device), is
//   empty, or holds 4 GiB or more (the container records the size in 32 bits);
// - intake is closed (the application is shutting down);
// - the list refuses the row: the appended request is removed again before the lock is
//   released, and the worker is not signalled.
// The same file given twice is queued twice.
int AddNewFile(const char* path);

// The desktop's open-documents request: each path, in order, through AddNewFile (results
// ignored). A path whose bytes do not fit a request is skipped. Returns kNoErr.
Status OpenDocumentsAE(const QStringList& paths);

// Whether the drag holds a local file that is not a folder; folders are told by the file
// system, not by the URL's spelling. The files are not opened here.
bool ListAcceptDragCallback(const QMimeData* drag);
// Queues every local file of the drop that is not a folder, in the drop's order. True when at
// least one was queued.
bool ListReceiveDragCallback(const QMimeData* drag);

// Lets the user choose one file in a dialog, window-modal on wndMain, and queues it. Cancelling
// queues nothing.
void ChoiseFile();

// Routes the drags over `list` to the two callbacks above.
void InstallDragCallbacks(QAbstractItemView* list);
// Turns drops on the list on (or off).
Status EnableListDrops(bool enable);

// Stops intake for good: drops, "Add File…" and AddNewFile refuse from now on.
void CloseIntake();
