// The request list's cells: computed from g_requests on demand, read-only.
#include <QAbstractItemView>
#include <QLineEdit>

#include <cstring>

#include "app_test_support.h"
#include "jobs/errors.h"
#include "jobs/requests.h"

namespace {

// Appends a request and its row as intake does, without the file system.
void AppendRequest(ProcListModel* model, const char* path, int32_t state, uint32_t srcSize,
                   uint32_t dstSize, JobError reason) {
  Request request;
  std::strncpy(request.szPath, path, sizeof request.szPath - 1);
  request.SetState(state);
  request.nSrcSize = srcSize;
  request.SetDstSize(dstSize);
  request.SetReason(static_cast<int32_t>(reason));
  ASSERT_TRUE(g_requests.Insert(g_requests.nCount, 1, &request));
  ASSERT_EQ(model->AddItem(static_cast<ItemID>(g_requests.nCount)), kNoErr);
}

using CellListTest = WindowTest;

TEST_F(CellListTest, CellsShowEachRequestsFields) {
  struct Case {
    const char* name;
    int32_t state;
    uint32_t src, dst;
    JobError reason;
    const char* proc;
    const char* srcl;
    const char* dstl;  // kNoText: no text set
    const char* rtio;
  };
  const Case cases[] = {
      {"453 of 1000 bytes", kStateCompressed, 1000, 453, JobError::None, "Compressed", "1000",
       "453", "45.3 %"},
      {"three times the source", kStateCompressed, 1000, 3000, JobError::None, "Compressed",
       "1000", "3000", "300.0 %"},
      {"expanded", kStateExpanded, 400, 1000, JobError::None, "Expanded", "400", "1000",
       "250.0 %"},
      {"waiting", kStateWait, 1000, 0, JobError::None, "Wait", "1000", kNoText, kNoText},
      {"in work", kStateProcess, 1000, 0, JobError::None, "Process", "1000", kNoText, kNoText},
      {"failed", kStateError, 1000, 0, JobError::Damaged, "Error", "1000", kNoText, kNoText},
      {"sizes past 2^31 stay unsigned", kStateCompressed, 4000000000u, 3000000000u,
       JobError::None, "Compressed", "4000000000", "3000000000", "75.0 %"},
  };
  for (const Case& c : cases) {
    AppendRequest(model, (std::string("/tmp/") + c.name).c_str(), c.state, c.src, c.dst, c.reason);
  }
  ASSERT_EQ(model->rowCount(), static_cast<int>(std::size(cases)));
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CellText(model, row, Column::File), std::string("/tmp/") + c.name);
    EXPECT_EQ(CellText(model, row, Column::State), c.proc);
    EXPECT_EQ(CellText(model, row, Column::Size), c.srcl);
    EXPECT_EQ(CellText(model, row, Column::Result), c.dstl);
    EXPECT_EQ(CellText(model, row, Column::Ratio), c.rtio);
    // A failed request tells why in its state cell's tip; the others have none.
    const std::string tip = c.state == kStateError ? JobErrorText(c.reason) : kNoText;
    EXPECT_EQ(CellText(model, row, Column::State, Qt::ToolTipRole), tip);
    ++row;
  }
}

TEST_F(CellListTest, EveryCellIsReadOnly) {
  AppendRequest(model, "/tmp/a.txt", kStateCompressed, 1000, 453, JobError::None);
  for (int column = 0; column < kColumnCount; ++column) {
    SCOPED_TRACE(column);
    const QModelIndex cell = model->index(0, column);
    const QVariant before = model->data(cell, Qt::DisplayRole);
    EXPECT_FALSE(model->flags(cell) & Qt::ItemIsEditable);
    EXPECT_FALSE(model->setData(cell, QStringLiteral("edited"), Qt::EditRole));
    EXPECT_EQ(model->data(cell, Qt::DisplayRole), before);
    ItemData data;
    EXPECT_EQ(ListItemDataCallback(model, 1, ColumnProperty(static_cast<Column>(column)), &data,
                                   true),
              kStatusReadOnly);
    EXPECT_FALSE(data.bHasText);
  }
  list->edit(model->index(0, 0));
  EXPECT_EQ(list->findChild<QLineEdit*>(), nullptr) << "no editor opened";
}

TEST_F(CellListTest, RowsWithoutARequestSetNoText) {
  ItemData data;
  EXPECT_EQ(ListItemDataCallback(model, 1, kPropFile, &data, false), kStatusNoRecord);
  AppendRequest(model, "/tmp/a.txt", kStateWait, 10, 0, JobError::None);
  EXPECT_EQ(ListItemDataCallback(model, 2, kPropFile, &data, false), kStatusNoRecord);
  EXPECT_EQ(ListItemDataCallback(model, 0, kPropFile, &data, false), kStatusNoRecord);
  EXPECT_EQ(ListItemDataCallback(model, 1, FourCC("XXXX"), &data, false), kNoErr);
  EXPECT_FALSE(data.bHasText);
}

TEST_F(CellListTest, ItemIDsContinueTheNumbering) {
  EXPECT_EQ(model->AddItem(2), kStatusItemNotAdded);
  EXPECT_EQ(model->AddItem(1), kNoErr);
  EXPECT_EQ(model->AddItem(1), kStatusItemNotAdded);
  EXPECT_EQ(model->AddItem(2), kNoErr);
  EXPECT_EQ(model->rowCount(), 2);
}

}  // namespace
