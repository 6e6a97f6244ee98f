// Shared pieces of the application tests: real files in a temporary folder, a window built
// from the real form, waiting on a condition, and running a body in a fresh process.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <string>

#include "app/list_model.h"

class QAbstractItemView;
class QProgressBar;

// A file of the shared corpus, e.g. "text/alice29.txt".
QString CorpusFile(const char* name);
QByteArray ReadAll(const QString& path);

// A temporary folder that is removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  QString Path(const QString& name) const;
  // Copies a corpus file into the folder under its own name; returns the copy's path.
  QString Copy(const char* corpusName) const;
  QString Write(const QString& name, const QByteArray& bytes) const;

 private:
  QTemporaryDir dir;
};

// Processes events until `done` holds or `timeoutMs` has passed; returns `done()`'s last answer.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 120000);

// What a cell shows: its text, or "<none>" when no text is set.
std::string CellText(const QAbstractItemModel* model, int row, Column column,
                     int role = Qt::DisplayRole);
inline constexpr char kNoText[] = "<none>";

// The process-wide engine objects as the shell sets them up before the worker starts: the lock
// created, ProcessThrd registered as function 1 (not started), no requests, an empty mailbox.
// The worker thread is never started in the test process itself; tests that need it run in a
// child process (RunInChild).
void ResetEngineState();
// Runs owed to the worker function, as intake's signals left them.
int PendingWorkerRuns();

// A window built from the real form with its list set up and drops on, as after start-up.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  QAbstractItemView* list = nullptr;
  ProcListModel* model = nullptr;
  QProgressBar* bar = nullptr;
};

// Collects failures of a body that runs in a child process.
class Report {
 public:
  void Expect(bool ok, const std::string& what) {
    if (!ok) failures += what + "\n";
  }
  template <class A, class B>
  void ExpectEq(const A& actual, const B& expected, const std::string& what);
  const std::string& Failures() const { return failures; }

 private:
  std::string failures;
};

// Ends the child process: status 0 when the report is clean, else 1 with the failures on stderr.
[[noreturn]] void ExitWith(const Report& report);

// Runs `body` in a fresh copy of this test program, so that it can start the worker thread and
// the whole application, and expects it to report no failure.
#define EXPECT_CLEAN_IN_CHILD(body) \
  EXPECT_EXIT(ExitWith(body), ::testing::ExitedWithCode(0), "")

// ---------------------------------------------------------------------------------------------

#include <sstream>

template <class A, class B>
void Report::ExpectEq(const A& actual, const B& expected, const std::string& what) {
  if (actual == expected) return;
  std::ostringstream text;
  text << what << ": got \"" << actual << "\", expected \"" << expected << "\"";
  failures += text.str() + "\n";
}
