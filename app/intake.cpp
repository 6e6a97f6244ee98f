#include "app/intake.h"

#include <QAbstractItemView>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QMainWindow>
#include <QMimeData>
#include <QUrl>

#include <sys/stat.h>

#include <cstdint>
#include <cstring>

#include "app/list_model.h"
#include "app/shell.h"
#include "codec/format.h"
#include "jobs/input.h"
#include "jobs/requests.h"

namespace {

// Set once when the application starts shutting down; main thread only.
bool bIntakeClosed = false;

// The folder the last "Add File…" dialog ended in, for the next one (this session only).
QString sLastFolder;

// The file system's bytes for `file`, if they fit a request's path field.
bool PathBytes(const QString& file, QByteArray* path) {
  *path = QFile::encodeName(file);
  return !path->isEmpty() && path->size() < static_cast<qsizetype>(zdx::kPathMax) &&
         !path->contains('\0');
}

bool UrlPath(const QUrl& url, QByteArray* path) {
  return url.isLocalFile() && PathBytes(url.toLocalFile(), path);
}

bool IsFolder(const QByteArray& path) {
  struct stat st;
  return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The length of the file at `path`, or -1 when a job could not take it (see InputFile).
int64_t MeasureFile(const char* path) {
  InputFile in;
  if (in.Open(path) != JobError::None) return -1;
  return in.size();
}

// Copies the drag's verdict into the event. The files are only read, so a drop is taken as a
// copy whenever the source offers one: a source told "moved" might delete its file.
void Answer(QDropEvent* event, bool accept) {
  if (!accept) {
    event->ignore();
  } else if (event->possibleActions() & Qt::CopyAction) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->acceptProposedAction();
  }
}

class ListDragFilter : public QObject {
 public:
  using QObject::QObject;

  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    switch (event->type()) {
      case QEvent::DragEnter:
      case QEvent::DragMove: {
        auto* drag = static_cast<QDropEvent*>(event);
        Answer(drag, ListAcceptDragCallback(drag->mimeData()));
        return true;
      }
      case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        Answer(drop, ListReceiveDragCallback(drop->mimeData()));
        return true;
      }
      default:
        return false;
    }
  }
};

}  // namespace

int AddNewFile(const char* path) {
  if (bIntakeClosed || !path || path[0] == '\0') return 0;
  const size_t length = strnlen(path, zdx::kPathMax);
  if (length >= zdx::kPathMax) return 0;
  const int64_t size = MeasureFile(path);
  if (size <= 0) return 0;  // nothing to compress

  Request request;
  std::memcpy(request.szPath, path, length);
  request.nState = kStateWait;
  request.nSrcSize = static_cast<uint32_t>(size);
  request.nDstSize = 0;

  CXLock guard(&g_lock);
  if (!g_requests.Insert(g_requests.nCount, 1, &request)) return 0;
  const ItemID itemID = static_cast<ItemID>(g_requests.nCount);
  QAbstractItemView* list = nullptr;
  ProcListModel* model = nullptr;
  if (GetProcList(&list, &model) != kNoErr || model->AddItem(itemID) != kNoErr) {
    g_requests.Delete(static_cast<long>(itemID) - 1, 1);
    return 0;
  }
  g_thrd.Signal(1);
  return 1;
}

Status OpenDocumentsAE(const QStringList& paths) {
  for (const QString& file : paths) {
    QByteArray path;
    if (PathBytes(file, &path)) AddNewFile(path.constData());
  }
  return kNoErr;
}

bool ListAcceptDragCallback(const QMimeData* drag) {
  if (!drag || !drag->hasUrls()) return false;
  for (const QUrl& url : drag->urls()) {
    QByteArray path;
    if (UrlPath(url, &path) && !IsFolder(path)) return true;
  }
  return false;
}

bool ListReceiveDragCallback(const QMimeData* drag) {
  if (!drag || !drag->hasUrls()) return false;
  bool bQueued = false;
  for (const QUrl& url : drag->urls()) {
    QByteArray path;
    if (UrlPath(url, &path) && !IsFolder(path) && AddNewFile(path.constData())) bQueued = true;
  }
  return bQueued;
}

void ChoiseFile() {
  QFileDialog dialog(wndMain, QFileDialog::tr("Add File"), sLastFolder);
  dialog.setWindowModality(Qt::WindowModal);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  const int result = dialog.exec();
  sLastFolder = dialog.directory().absolutePath();
  if (result != QDialog::Accepted) return;
  const QStringList files = dialog.selectedFiles();
  QByteArray path;
  if (!files.isEmpty() && PathBytes(files.first(), &path)) AddNewFile(path.constData());
}

void InstallDragCallbacks(QAbstractItemView* list) {
  list->viewport()->installEventFilter(new ListDragFilter(list));
}

Status EnableListDrops(bool enable) {
  QAbstractItemView* list = nullptr;
  const Status status = GetControlByID(wndMain, kListCtrlID, &list);
  if (status != kNoErr) return status;
  list->viewport()->setAcceptDrops(enable);
  return kNoErr;
}

void CloseIntake() {
  bIntakeClosed = true;
  EnableListDrops(false);
  EnableCommand(wndMain, kCommandProc, false);
}
