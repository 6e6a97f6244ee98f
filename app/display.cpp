#include "app/display.h"

#include <QAbstractItemView>
#include <QProgressBar>
#include <QTimer>

#include "app/list_model.h"
#include "app/shell.h"
#include "jobs/requests.h"

namespace {

void SetBarValue(int value) {
  QProgressBar* bar = nullptr;
  if (GetControlByID(wndMain, kProgCtrlID, &bar) == kNoErr) bar->setValue(value);
}

void RefreshRow(int32_t index) {
  QAbstractItemView* list = nullptr;
  ProcListModel* model = nullptr;
  if (GetProcList(&list, &model) != kNoErr) return;
  {
    CXLock guard(&g_lock);
    // A post names a request that exists; the bounds check only keeps a stray index harmless.
    if (g_requests.HaveData() && index >= 0 && index < g_requests.nCount) {
      const ItemID itemID = static_cast<ItemID>(index) + 1;
      model->RevealItem(list, itemID);
      model->UpdateItem(itemID, kPropProc);
      const int32_t state = g_requests.At<Request>(index)->State();
      if (state == kStateExpanded || state == kStateCompressed) {
        model->UpdateItem(itemID, kPropDstl);
        model->UpdateItem(itemID, kPropRtio);
      }
    }
  }
  SetBarValue(0);
}

}  // namespace

void TimerCallback() {
  ProcStatus::Post post;
  if (!g_stat.Take(post)) return;
  if (post.nFlags & kStatRow) RefreshRow(post.nIndex);
  if (post.nFlags & kStatMax) {
    QProgressBar* bar = nullptr;
    if (GetControlByID(wndMain, kProgCtrlID, &bar) == kNoErr) bar->setMaximum(post.nMax);
  }
  if (post.nFlags & kStatValue) SetBarValue(post.nValue);
}

Status InstallDisplayTimer(QObject* parent, QTimer** timer) {
  auto* ticker = new QTimer(parent);
  ticker->setInterval(kTimerIntervalMs);
  QObject::connect(ticker, &QTimer::timeout, ticker, &TimerCallback);
  ticker->start();
  if (!ticker->isActive()) {
    delete ticker;
    *timer = nullptr;
    return kStatusStartFailed;
  }
  *timer = ticker;
  return kNoErr;
}
