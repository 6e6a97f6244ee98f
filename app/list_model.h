// The request list: a table model that holds no data of its own, only its row count. Row k
// (item ID k + 1) shows the request at index k of g_requests, and every cell is computed on
// demand by ListItemDataCallback. Intake adds rows one at a time, the display timer refreshes
// single cells; the model is never reset.
#pragma once

#include <QAbstractTableModel>

#include <cstdint>

#include "app/services.h"

class QAbstractItemView;

// Item IDs count from 1: item i + 1 shows request i.
using ItemID = uint32_t;
using PropertyID = FourCharCode;

// The columns, in display order. Each carries the property ID below.
enum class Column : int { File, State, Size, Result, Ratio };
inline constexpr int kColumnCount = 5;

inline constexpr PropertyID kPropFile = FourCC("FILE");  // the path
inline constexpr PropertyID kPropProc = FourCC("PROC");  // the state's display string
inline constexpr PropertyID kPropSrcl = FourCC("SRCL");  // the source size
inline constexpr PropertyID kPropDstl = FourCC("DSTL");  // the result size, empty while 0
inline constexpr PropertyID kPropRtio = FourCC("RTIO");  // result / source in percent

PropertyID ColumnProperty(Column column);

// The request list and the progress bar in the main window.
inline constexpr ControlID kListCtrlID{FourCC("ZDXC"), 0};
inline constexpr ControlID kProgCtrlID{FourCC("ZDXC"), 1};

// One cell's content as the data callback hands it to the list: no text, or a text.
struct ItemData {
  QString text;
  bool bHasText = false;
};
Status SetItemDataText(ItemData* itemData, const QString& text);

class ProcListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  using QAbstractTableModel::QAbstractTableModel;

  // Adds one row at the end. Item IDs continue the list's numbering: `itemID` must be the row
  // count plus one, else kStatusItemNotAdded and nothing changes.
  Status AddItem(ItemID itemID);
  // Asks the views to fetch one cell again.
  Status UpdateItem(ItemID itemID, PropertyID property);
  // Scrolls `view` (showing this model) so that the row is visible and centred, without
  // selecting it.
  Status RevealItem(QAbstractItemView* view, ItemID itemID) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // Always refused: every cell is read-only.
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

 private:
  int nItems = 0;
};

// The text of the cell `property` of row `itemID`, read from g_requests WITHOUT g_lock: the list
// asks for cells while the main thread already holds the lock (adding a row, refreshing a
// cell), and the lock is not recursive. Reading without it is safe because only the main thread
// changes the array's size or storage, and the worker's changes to a queued request (state,
// result size, reason) are single 32-bit words read whole.
//
// kStatusNoRecord when the array holds no such request, kStatusReadOnly when `setValue` is true,
// else kNoErr with the text set, or with no text for an empty cell or an unknown property.
Status ListItemDataCallback(ProcListModel* browser, ItemID itemID, PropertyID property,
                            ItemData* itemData, bool setValue);

// Gives the list control of wndMain its model, its drop handling and its column layout.
// kStatusControlNotFound when the window has no list.
Status InitProcList();

// The list control of wndMain and its model.
Status GetProcList(QAbstractItemView** view, ProcListModel** model);
