// Start-up, the whole application with the real worker and timer, and shutdown. Whatever
// starts the worker thread runs in a child process with fresh process-wide objects.
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QFileOpenEvent>
#include <QMainWindow>
#include <QProgressBar>

#include <map>
#include <string>
#include <vector>

#include "app/intake.h"
#include "app/shell.h"
#include "app_test_support.h"
#include "jobs/errors.h"
#include "jobs/requests.h"

namespace {

bool AnyWindowShown() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isVisible()) return true;
  }
  return false;
}

TEST(StartUp, FormThatCannotBeLoadedEndsStartUpWithAFailureAndShowsNothing) {
  TempFolder folder;
  QByteArray form = ReadAll(QString::fromLatin1(kFormSource));
  ASSERT_FALSE(form.isEmpty());
  auto without = [&form](const char* from, const char* to) {
    return QByteArray(form).replace(from, to);
  };
  struct Case {
    const char* name;
    QString source;
    Status status;
  };
  const Case cases[] = {
      {"missing", folder.Path(QStringLiteral("missing.ui")), kStatusFormNotFound},
      {"not a form", folder.Write(QStringLiteral("broken.ui"), "<ui version=\"4.0\"><widget"),
       kStatusFormNotFound},
      {"not a main window",
       folder.Write(QStringLiteral("plain.ui"),
                    without("class=\"QMainWindow\" name=\"MainWindow\"",
                            "class=\"QWidget\" name=\"MainWindow\"")),
       kStatusFormWrongType},
      {"window misnamed",
       folder.Write(QStringLiteral("misnamed.ui"),
                    without("name=\"MainWindow\"", "name=\"Other\"")),
       kStatusFormObjectMissing},
      {"no menu bar",
       folder.Write(QStringLiteral("nomenu.ui"), without("name=\"MenuBar\"", "name=\"Bar\"")),
       kStatusFormObjectMissing},
      {"no list", folder.Write(QStringLiteral("nolist.ui"), without("ZDXC_0", "ZDXC_9")),
       kStatusControlNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AppOptions options;
    options.formSource = c.source;
    bool bRan = false;
    options.onRunning = [&bRan] { bRan = true; };
    const Status status = RunApp(options);
    EXPECT_EQ(status, c.status);
    EXPECT_NE(ExitStatus(status) & 0xFF, 0);
    EXPECT_FALSE(bRan);
    EXPECT_FALSE(AnyWindowShown());
    EXPECT_EQ(wndMain, nullptr);
    EXPECT_FALSE(g_thrd.bRunning);
  }
}

TEST(StartUp, EveryFailureLeavesAFailingExitStatus) {
  for (const Status status : {-1, -256, 256, -10960, -30584, -9874}) {
    EXPECT_NE(ExitStatus(status) & 0xFF, 0) << status;
  }
  EXPECT_EQ(ExitStatus(kNoErr), 0);
}

// The state cell of row `row` as the model shows it.
std::string State(int row) {
  QAbstractItemView* list = nullptr;
  ProcListModel* model = nullptr;
  if (GetProcList(&list, &model) != kNoErr) return "<no list>";
  return CellText(model, row, Column::State);
}

// Counts the timer's refreshes of one cell.
struct RefreshCounter {
  explicit RefreshCounter(ProcListModel* model) {
    QObject::connect(model, &QAbstractItemModel::dataChanged, model,
                     [this](const QModelIndex& cell) {
                       ++counts[{cell.row(), static_cast<Column>(cell.column())}];
                     });
  }
  std::map<std::pair<int, Column>, int> counts;
};

std::string Number(qint64 n) { return std::to_string(n); }

std::string Ratio(qint64 part, qint64 whole) {
  const double percent = static_cast<double>(part) * 100.0 / static_cast<double>(whole);
  return QString::asprintf("%.1f %%", percent).toStdString();
}

// Compresses a file, expands the result and fails on a damaged container, through the real
// worker and display timer, then closes the window.
Report RoundTripThroughTheWindow() {
  Report report;
  TempFolder folder;
  const QString text = folder.Copy("text/alice29.txt");
  const QString packed = folder.Path(QStringLiteral("alice29.zdx"));
  // A valid header ("txt", filter 1, 16 bytes) followed by bytes that are no stream.
  static constexpr char kDamaged[] = "ZDX1\x03txt\x01\x10\0\0\0\0\0\0\0garbage";
  const QString damaged = folder.Write(QStringLiteral("damaged.zdx"),
                                       QByteArray(kDamaged, sizeof kDamaged - 1));
  const qint64 textSize = QFileInfo(text).size();

  AppOptions options;
  options.onRunning = [&] {
    QAbstractItemView* list = nullptr;
    ProcListModel* model = nullptr;
    QProgressBar* bar = nullptr;
    if (GetProcList(&list, &model) != kNoErr ||
        GetControlByID(wndMain, kProgCtrlID, &bar) != kNoErr) {
      report.Expect(false, "window without list or bar");
      wndMain->close();
      return;
    }
    RefreshCounter refreshed(model);
    int barMaximum = 0;
    QObject::connect(bar, &QProgressBar::valueChanged, bar,
                     [&] { barMaximum = std::max(barMaximum, bar->maximum()); });
    // The result cells are refreshed only by the timer, on the row change of a finished job.
    auto finished = [&](int row, Column cell) {
      return WaitUntil([&] { return refreshed.counts[{row, cell}] > 0; });
    };

    report.ExpectEq(AddNewFile(QFile::encodeName(text).constData()), 1, "queue the text");
    report.Expect(finished(0, Column::Ratio), "compression shown in time");
    const qint64 packedSize = QFileInfo(packed).size();
    report.ExpectEq(State(0), std::string("Compressed"), "state after compression");
    report.ExpectEq(CellText(model, 0, Column::Result), Number(packedSize), "compressed size");
    report.ExpectEq(CellText(model, 0, Column::Ratio), Ratio(packedSize, textSize), "ratio");
    report.Expect(barMaximum > 0, "the bar had a maximum while it moved");
    report.ExpectEq(bar->value(), 0, "the bar is reset by the final row change");

    report.ExpectEq(AddNewFile(QFile::encodeName(packed).constData()), 1, "queue the container");
    report.Expect(finished(1, Column::Ratio), "expansion shown in time");
    report.ExpectEq(State(1), std::string("Expanded"), "state after expansion");
    report.ExpectEq(CellText(model, 1, Column::Result), Number(textSize), "expanded size");
    report.ExpectEq(CellText(model, 1, Column::Ratio), Ratio(textSize, packedSize), "ratio");
    report.Expect(ReadAll(text) == ReadAll(CorpusFile("text/alice29.txt")), "round trip exact");

    report.ExpectEq(AddNewFile(QFile::encodeName(damaged).constData()), 1, "queue the damaged");
    report.Expect(WaitUntil([&] { return refreshed.counts[{2, Column::State}] >= 2 &&
                                         State(2) == "Error"; }),
                  "failure shown in time");
    report.ExpectEq(CellText(model, 2, Column::Result), std::string(kNoText), "no result size");
    report.ExpectEq(CellText(model, 2, Column::Ratio), std::string(kNoText), "no ratio");
    const int32_t reason = g_requests.At<Request>(2)->Reason();
    report.Expect(reason != kReasonNone, "a failure has a reason");
    report.ExpectEq(CellText(model, 2, Column::State, Qt::ToolTipRole),
                    std::string(JobErrorText(static_cast<JobError>(reason))), "tip tells why");
    report.Expect(!list->selectionModel()->hasSelection(), "the timer selects nothing");
    wndMain->close();
  };
  report.ExpectEq(RunApp(options), kNoErr, "RunApp's status");
  return report;
}

TEST(Application, ShowsJobsOfTheRealWorker) { EXPECT_CLEAN_IN_CHILD(RoundTripThroughTheWindow()); }

// Starts with files on the command line and one from the desktop, and quits at once:
// every request is still processed, the window shows progress until then, and RunApp ends
// with kNoErr.
Report CloseWithRequestsWaiting() {
  Report report;
  TempFolder folder;
  const QStringList documents = {folder.Copy("text/asyoulik.txt"),
                                 folder.Copy("audio/Front_Center.wav"),
                                 folder.Copy("text/alice29.txt")};
  const QString opened = folder.Copy("text/cp.html");
  const QStringList all = documents + QStringList{opened};

  int changesWhileDraining = 0;
  int changesWhileHidden = 0;
  AppOptions options;
  options.documents = documents;
  options.onRunning = [&] {
    std::vector<std::string> queued;
    for (long i = 0; i < g_requests.nCount; ++i) {
      queued.push_back(g_requests.At<Request>(i)->szPath);
    }
    std::vector<std::string> expected;
    for (const QString& path : documents) expected.push_back(path.toStdString());
    report.Expect(queued == expected, "command-line files queued in their order");

    QFileOpenEvent open(opened);
    QApplication::sendEvent(qApp, &open);
    report.ExpectEq(g_requests.nCount, 4, "the desktop's file queued after them");

    QProgressBar* bar = nullptr;
    if (GetControlByID(wndMain, kProgCtrlID, &bar) != kNoErr) {
      report.Expect(false, "window without bar");
    } else {
      QObject::connect(bar, &QProgressBar::valueChanged, bar, [&] {
        ++(wndMain->isVisible() ? changesWhileDraining : changesWhileHidden);
        // Closing again while the queue drains changes nothing.
        if (changesWhileDraining == 1) wndMain->close();
      });
    }
    // "Quit" is left to the default handling, which closes the window.
    auto* quit = wndMain->findChild<QAction*>(QStringLiteral("actionQuit"));
    report.Expect(quit != nullptr, "a Quit action");
    if (quit) quit->trigger();
  };
  report.ExpectEq(RunApp(options), kNoErr, "RunApp's status");
  report.Expect(changesWhileDraining > 0, "progress shown while the queue drained");
  report.ExpectEq(changesWhileHidden, 0, "no progress after the window was hidden");
  report.ExpectEq(g_requests.nCount, 4, "requests");
  for (long i = 0; i < g_requests.nCount && i < all.size(); ++i) {
    report.ExpectEq(g_requests.At<Request>(i)->State(), kStateCompressed,
                    "state of request " + std::to_string(i));
    const QString output = QFileInfo(all[i]).path() + QLatin1Char('/') +
                           QFileInfo(all[i]).completeBaseName() + QStringLiteral(".zdx");
    report.Expect(QFileInfo::exists(output), "output of " + all[i].toStdString());
  }
  report.Expect(wndMain == nullptr, "window released");
  report.Expect(!g_thrd.bRunning, "worker joined");
  return report;
}

TEST(Application, ClosingWithRequestsWaitingProcessesThemAllAndEndsWithZero) {
  EXPECT_CLEAN_IN_CHILD(CloseWithRequestsWaiting());
}

}  // namespace
