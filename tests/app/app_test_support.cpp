#include "app_test_support.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMainWindow>
#include <QProgressBar>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "app/intake.h"
#include "app/shell.h"
#include "jobs/process.h"
#include "jobs/requests.h"

QString CorpusFile(const char* name) {
  return QStringLiteral(ZDX_CORPUS_DIR "/") + QString::fromUtf8(name);
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TempFolder::TempFolder() { EXPECT_TRUE(dir.isValid()); }

QString TempFolder::Path(const QString& name) const { return dir.filePath(name); }

QString TempFolder::Copy(const char* corpusName) const {
  const QString source = CorpusFile(corpusName);
  const QString copy = Path(QFileInfo(source).fileName());
  EXPECT_TRUE(QFile::copy(source, copy)) << corpusName;
  // The corpus is read-only; the copies must be writable like any user file.
  QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
  return copy;
}

QString TempFolder::Write(const QString& name, const QByteArray& bytes) const {
  const QString path = Path(name);
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  EXPECT_EQ(file.write(bytes), bytes.size());
  return path;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return done();
    // Lets timers and posted events run while waiting; returns after at most 10 ms.
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

std::string CellText(const QAbstractItemModel* model, int row, Column column, int role) {
  const QVariant value = model->data(model->index(row, static_cast<int>(column)), role);
  return value.isValid() ? value.toString().toStdString() : std::string(kNoText);
}

void ResetEngineState() {
  ASSERT_FALSE(g_thrd.bRunning) << "the worker runs only in child processes";
  ASSERT_TRUE(g_lock.Create());
  if (g_thrd.funcs.nCount == 0) {
    ASSERT_EQ(g_thrd.AddFunction(ProcessThrd, 0), 1);
  }
  g_thrd.funcs.At<CXThread::FuncElem>(1)->Pending().store(0);
  g_requests.Clear();
  g_stat.bQuit.store(false);
  g_stat.nFlags.store(0);
}

int PendingWorkerRuns() { return g_thrd.funcs.At<CXThread::FuncElem>(1)->Pending().load(); }

void WindowTest::SetUp() {
  ResetEngineState();
  ASSERT_EQ(CreateWindowFromForm(QString::fromLatin1(kFormSource), kFormWindowName,
                                 kFormMenuBarName, &wndMain),
            kNoErr);
  ASSERT_EQ(InitProcList(), kNoErr);
  ASSERT_EQ(EnableListDrops(true), kNoErr);
  ASSERT_EQ(GetProcList(&list, &model), kNoErr);
  ASSERT_EQ(GetControlByID(wndMain, kProgCtrlID, &bar), kNoErr);
}

void WindowTest::TearDown() {
  delete wndMain;
  wndMain = nullptr;
  g_requests.Clear();
  g_stat.bQuit.store(false);
  g_stat.nFlags.store(0);
}

void ExitWith(const Report& report) {
  if (!report.Failures().empty()) {
    std::fputs(report.Failures().c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(1);
  }
  std::exit(0);
}
