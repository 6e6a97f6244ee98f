// The display timer: one post per tick, shown in the list and the progress bar.
#include <QAbstractItemView>
#include <QItemSelectionModel>
#include <QMainWindow>
#include <QProgressBar>

#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "app/display.h"
#include "app/shell.h"
#include "app_test_support.h"
#include "jobs/requests.h"

namespace {

using Cell = std::pair<int, Column>;

class DisplayTest : public WindowTest {
 protected:
  void Append(int32_t state, uint32_t dstSize) {
    Request request;
    std::snprintf(request.szPath, sizeof request.szPath, "/tmp/file%d", g_requests.nCount);
    request.SetState(state);
    request.nSrcSize = 1000;
    request.SetDstSize(dstSize);
    ASSERT_TRUE(g_requests.Insert(g_requests.nCount, 1, &request));
    ASSERT_EQ(model->AddItem(static_cast<ItemID>(g_requests.nCount)), kNoErr);
  }

  // The cells the model announced as changed from now on.
  void RecordChanges() {
    QObject::connect(model, &QAbstractItemModel::dataChanged, model,
                     [this](const QModelIndex& first, const QModelIndex& last) {
                       EXPECT_EQ(first, last) << "one cell at a time";
                       changed.insert({first.row(), static_cast<Column>(first.column())});
                     });
  }

  std::set<Cell> changed;
};

TEST_F(DisplayTest, EachTickShowsOnePostInItsOrder) {
  Append(kStateCompressed, 453);
  Append(kStateError, 0);
  Append(kStateProcess, 0);
  Append(kStateExpanded, 2000);
  RecordChanges();

  constexpr uint32_t kAll = kStatRow | kStatMax | kStatValue;
  struct Case {
    const char* name;
    uint32_t flags;  // 0: nothing posted
    int32_t index, value, max;
    bool bQuit;
    std::set<Cell> cells;
    int barValue, barMax;
  };
  const Case cases[] = {
      {"empty mailbox", 0, 0, 0, 0, false, {}, 50, 100},
      {"value only", kStatValue, 0, 70, -1, false, {}, 70, 100},
      {"maximum only", kStatMax, 0, -1, 80, false, {}, 50, 80},
      {"compressed row", kStatRow, 0, -1, -1, false,
       {{0, Column::State}, {0, Column::Result}, {0, Column::Ratio}}, 0, 100},
      {"expanded row", kStatRow, 3, -1, -1, false,
       {{3, Column::State}, {3, Column::Result}, {3, Column::Ratio}}, 0, 100},
      {"failed row: its result cells stay as they are", kStatRow, 1, -1, -1, false,
       {{1, Column::State}}, 0, 100},
      {"row in work", kStatRow, 2, -1, -1, false, {{2, Column::State}}, 0, 100},
      // The bar is reset, then takes the new maximum, then the value beyond the old maximum.
      {"all three", kAll, 2, 150, 200, false, {{2, Column::State}}, 150, 200},
      {"index of no request", kStatRow, 99, -1, -1, false, {}, 0, 100},
      {"after quit nothing changes", kAll, 0, 150, 200, true, {}, 50, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bar->setRange(0, 100);
    bar->setValue(50);
    changed.clear();
    g_stat.bQuit.store(false);
    if (c.flags) g_stat.Change(c.index, static_cast<int>(c.flags), c.value, c.max);
    g_stat.bQuit.store(c.bQuit);

    TimerCallback();

    EXPECT_EQ(changed, c.cells);
    EXPECT_EQ(bar->value(), c.barValue);
    EXPECT_EQ(bar->maximum(), c.barMax);
    // A post is taken unless the mailbox is dead.
    EXPECT_EQ(g_stat.nFlags.load(), c.bQuit ? c.flags : 0u);
    g_stat.nFlags.store(0);
  }
}

TEST_F(DisplayTest, RowInWorkIsCentredWithoutTouchingTheSelection) {
  for (int i = 0; i < 200; ++i) Append(kStateWait, 0);
  wndMain->resize(600, 300);
  wndMain->show();
  const QModelIndex chosen = model->index(3, 0);
  list->selectionModel()->select(chosen, QItemSelectionModel::ClearAndSelect |
                                             QItemSelectionModel::Rows);
  list->selectionModel()->setCurrentIndex(chosen, QItemSelectionModel::NoUpdate);

  g_requests.At<Request>(150)->SetState(kStateProcess);
  g_stat.Change(150, kStatRow, -1, -1);
  TimerCallback();

  const QRect row = list->visualRect(model->index(150, 0));
  const int middle = list->viewport()->height() / 2;
  EXPECT_LE(std::abs(row.center().y() - middle), row.height()) << "centred";
  EXPECT_EQ(list->selectionModel()->selectedRows(), QModelIndexList{chosen});
  EXPECT_EQ(list->selectionModel()->currentIndex(), chosen);
}

}  // namespace
