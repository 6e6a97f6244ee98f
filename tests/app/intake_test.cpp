// File intake: what AddNewFile accepts and refuses, drops on the list, open-documents, the
// "Add File…" dialog.
#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QMainWindow>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "app/intake.h"
#include "app/shell.h"
#include "app_test_support.h"
#include "jobs/requests.h"

namespace {

std::string RequestPath(long index) { return g_requests.At<Request>(index)->szPath; }

std::vector<std::string> QueuedPaths() {
  std::vector<std::string> paths;
  for (long i = 0; i < g_requests.nCount; ++i) paths.push_back(RequestPath(i));
  return paths;
}

// A regular file whose path is exactly `length` bytes, under `root`, made of nested folders.
QString FileWithPathLength(const QString& root, int length) {
  QString path = root;
  while (length - path.size() > 201) path += QLatin1Char('/') + QString(200, QLatin1Char('d'));
  EXPECT_TRUE(QDir().mkpath(path));
  path += QLatin1Char('/') + QString(length - static_cast<int>(path.size()) - 1, QLatin1Char('f'));
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("x");
  return path;
}

// A sparse file of `size` bytes; false where the file system cannot hold one.
bool SparseFile(const QString& path, qint64 size) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.resize(size);
}

using IntakeTest = WindowTest;

TEST_F(IntakeTest, RefusesFilesThatCannotBeQueued) {
  TempFolder folder;
  const QString root = folder.Path(QStringLiteral("long"));
  ASSERT_TRUE(QDir().mkpath(folder.Path(QStringLiteral("folder"))));
  ASSERT_EQ(::mkfifo(QFile::encodeName(folder.Path(QStringLiteral("pipe"))).constData(), 0600), 0);
  struct Case {
    const char* name;
    QString path;
  };
  std::vector<Case> cases = {
      {"empty path", QString()},
      {"missing file", folder.Path(QStringLiteral("missing.txt"))},
      {"empty file", folder.Write(QStringLiteral("empty.txt"), QByteArray())},
      {"folder", folder.Path(QStringLiteral("folder"))},
      {"path of 260 bytes", FileWithPathLength(root + QStringLiteral("260"), 260)},
      {"device", QStringLiteral("/dev/zero")},
      {"named pipe without a writer", folder.Path(QStringLiteral("pipe"))},
  };
  if (SparseFile(folder.Path(QStringLiteral("4gib")), qint64{1} << 32)) {
    cases.push_back({"4 GiB", folder.Path(QStringLiteral("4gib"))});
  } else {
    ADD_FAILURE() << "no sparse file of 4 GiB here; that case is not covered";
  }
  if (geteuid() != 0) {
    const QString locked = folder.Write(QStringLiteral("locked.txt"), "secret");
    QFile::setPermissions(locked, QFileDevice::Permissions());
    cases.push_back({"unreadable", locked});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AddNewFile(QFile::encodeName(c.path).constData()), 0);
  }
  EXPECT_EQ(AddNewFile(nullptr), 0);
  EXPECT_EQ(g_requests.nCount, 0);
  EXPECT_EQ(model->rowCount(), 0);
  EXPECT_EQ(PendingWorkerRuns(), 0);
}

TEST_F(IntakeTest, QueuesEachAcceptedFileWithItsRowAndOneSignal) {
  TempFolder folder;
  const QString text = folder.Copy("text/grammar.lsp");
  const QString longest = FileWithPathLength(folder.Path(QStringLiteral("l")), 259);
  std::vector<std::pair<QString, uint32_t>> files = {
      {text, 3721}, {text, 3721}, {longest, 1}};  // the same file twice is queued twice
  if (SparseFile(folder.Path(QStringLiteral("big")), (qint64{1} << 32) - 1)) {
    files.push_back({folder.Path(QStringLiteral("big")), 0xFFFFFFFFu});
  }
  for (const auto& [path, size] : files) {
    EXPECT_EQ(AddNewFile(QFile::encodeName(path).constData()), 1) << path.toStdString();
  }
  ASSERT_EQ(g_requests.nCount, static_cast<long>(files.size()));
  EXPECT_EQ(model->rowCount(), g_requests.nCount);
  EXPECT_EQ(PendingWorkerRuns(), g_requests.nCount);
  for (long i = 0; i < g_requests.nCount; ++i) {
    const Request& request = *g_requests.At<Request>(i);
    EXPECT_EQ(request.szPath, files[i].first.toStdString());
    EXPECT_EQ(request.nSrcSize, files[i].second);
    EXPECT_EQ(request.State(), kStateWait);
    EXPECT_EQ(request.DstSize(), 0u);
    EXPECT_EQ(CellText(model, static_cast<int>(i), Column::State), "Wait");
  }
}

TEST_F(IntakeTest, RefusedRowTakesTheRequestBackWithoutSignal) {
  TempFolder folder;
  const QString file = folder.Copy("text/grammar.lsp");
  ASSERT_EQ(AddNewFile(QFile::encodeName(file).constData()), 1);
  struct Case {
    const char* name;
    std::function<void()> breakList;
  };
  const Case cases[] = {
      {"row already taken", [this] { ASSERT_EQ(model->AddItem(2), kNoErr); }},
      {"list missing", [this] { list->setObjectName(QStringLiteral("gone")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.breakList();
    EXPECT_EQ(AddNewFile(QFile::encodeName(file).constData()), 0);
    EXPECT_EQ(g_requests.nCount, 1);
    EXPECT_EQ(PendingWorkerRuns(), 1);
  }
}

// Sends a drag over the list and drops it; answers whether the drag and the drop were taken.
std::pair<bool, bool> DragAndDrop(QAbstractItemView* list, const QList<QUrl>& urls) {
  QMimeData data;
  data.setUrls(urls);
  QWidget* target = list->viewport();
  const QPoint at = target->rect().center();
  QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  EXPECT_TRUE(!drop.isAccepted() || drop.dropAction() == Qt::CopyAction) << "files are only read";
  return {enter.isAccepted(), drop.isAccepted()};
}

TEST_F(IntakeTest, DropQueuesTheFilesInOrderAndNeverAFolder) {
  TempFolder folder;
  const QString first = folder.Copy("text/alice29.txt");
  const QString a = folder.Copy("text/grammar.lsp");
  const QString b = folder.Copy("text/xargs.1");
  ASSERT_TRUE(QDir().mkpath(folder.Path(QStringLiteral("sub.txt"))));
  // A folder is told by the file system: this URL does not end in '/'.
  const QUrl sub = QUrl::fromLocalFile(folder.Path(QStringLiteral("sub.txt")));
  const QUrl subSlash(sub.toString() + QLatin1Char('/'));
  ASSERT_EQ(AddNewFile(QFile::encodeName(first).constData()), 1);

  EXPECT_EQ(DragAndDrop(list, {sub, subSlash}), std::make_pair(false, false));
  EXPECT_EQ(DragAndDrop(list, {QUrl(QStringLiteral("https://example.org/a.txt"))}),
            std::make_pair(false, false));
  EXPECT_EQ(g_requests.nCount, 1);

  EXPECT_EQ(DragAndDrop(list, {sub, QUrl::fromLocalFile(b), subSlash, QUrl::fromLocalFile(a)}),
            std::make_pair(true, true));
  const std::vector<std::string> expected = {first.toStdString(), b.toStdString(),
                                             a.toStdString()};
  EXPECT_EQ(QueuedPaths(), expected);
  EXPECT_EQ(model->rowCount(), 3);
  EXPECT_EQ(CellText(model, 1, Column::File), b.toStdString());
  EXPECT_EQ(CellText(model, 2, Column::File), a.toStdString());
  EXPECT_EQ(PendingWorkerRuns(), 3);
}

TEST_F(IntakeTest, OpenDocumentsQueuesInOrderAndSkipsWhatCannotBeQueued) {
  TempFolder folder;
  const QString a = folder.Copy("text/grammar.lsp");
  const QString b = folder.Copy("text/xargs.1");
  EXPECT_EQ(OpenDocumentsAE({b, folder.Path(QStringLiteral("missing")), a,
                             QString(300, QLatin1Char('x')), b}),
            kNoErr);
  const std::vector<std::string> expected = {b.toStdString(), a.toStdString(), b.toStdString()};
  EXPECT_EQ(QueuedPaths(), expected);
  EXPECT_EQ(model->rowCount(), 3);
}

TEST_F(IntakeTest, AddFileDialogQueuesTheChosenFileOnly) {
  TempFolder folder;
  const QString file = folder.Copy("text/grammar.lsp");
  struct Case {
    const char* name;
    bool bChoose;
    long queued;
  };
  for (const Case& c : {Case{"cancel", false, 0}, Case{"choose", true, 1}}) {
    SCOPED_TRACE(c.name);
    bool bSeen = false;
    // Answers the dialog once it is up; the command returns when the dialog has closed.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      auto* dialog = wndMain->findChild<QFileDialog*>();
      if (!dialog || !dialog->isVisible()) return;
      bSeen = true;
      EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
      EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
      if (c.bChoose) {
        dialog->selectFile(file);
        static_cast<QDialog*>(dialog)->accept();  // checks the choice like the OK button
      } else {
        dialog->reject();
      }
    });
    answer.start(10);
    EXPECT_EQ(AppCommandHandler(kCommandProc), kNoErr);
    answer.stop();
    EXPECT_TRUE(bSeen);
    EXPECT_EQ(g_requests.nCount, c.queued);
  }
  ASSERT_EQ(g_requests.nCount, 1);
  EXPECT_EQ(RequestPath(0), file.toStdString());
  EXPECT_EQ(AppCommandHandler(FourCC("quit")), kStatusNotHandled);
  EXPECT_EQ(AppCommandHandler(FourCC("open")), kStatusNotHandled);
}

}  // namespace
