#include "app/list_model.h"

#include <QAbstractItemView>
#include <QColor>
#include <QFile>
#include <QFontMetrics>
#include <QHeaderView>
#include <QStyle>
#include <QTableView>

#include <algorithm>
#include <cstring>

#include "app/intake.h"
#include "app/shell.h"
#include "jobs/errors.h"
#include "jobs/requests.h"

namespace {

struct ColumnInfo {
  PropertyID property;
  const char* title;
  bool bNumber;        // right-aligned
  const char* sample;  // the widest text the column is sized for; null: takes the free width
};

constexpr ColumnInfo kColumns[kColumnCount] = {
    {kPropFile, "File", false, nullptr},
    {kPropProc, "State", false, "Compressed"},
    {kPropSrcl, "Size", true, "999999999"},
    {kPropDstl, "Result", true, "999999999"},
    {kPropRtio, "Ratio", true, "100.0 %"},
};

int ColumnOf(PropertyID property) {
  for (int i = 0; i < kColumnCount; ++i) {
    if (kColumns[i].property == property) return i;
  }
  return -1;
}

Qt::Alignment AlignmentOf(int column) {
  return (kColumns[column].bNumber ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter;
}

// The request shown in a row, or null. Read without g_lock (see ListItemDataCallback).
const Request* RequestOf(ItemID itemID) {
  if (!g_requests.HaveData() || itemID < 1 || itemID > static_cast<ItemID>(g_requests.nCount)) {
    return nullptr;
  }
  return g_requests.At<Request>(static_cast<long>(itemID) - 1);
}

QString PathText(const Request& request) {
  // Paths are the file system's bytes; show them as the file system's encoding reads them.
  const auto length = static_cast<qsizetype>(strnlen(request.szPath, sizeof request.szPath));
  return QFile::decodeName(QByteArray(request.szPath, length));
}

// Widths follow the font, so they suit any screen density and font size.
void LayOutColumns(QTableView* table) {
  QHeaderView* header = table->horizontalHeader();
  const QFontMetrics metrics(table->font());
  const int margin = 2 * table->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header) +
                     metrics.horizontalAdvance(QStringLiteral("MM"));
  header->setStretchLastSection(false);
  header->setMinimumSectionSize(metrics.horizontalAdvance(QStringLiteral("MMMM")));
  for (int i = 0; i < kColumnCount; ++i) {
    if (!kColumns[i].sample) {
      header->setSectionResizeMode(i, QHeaderView::Stretch);
      continue;
    }
    const int text = std::max(metrics.horizontalAdvance(QLatin1String(kColumns[i].sample)),
                              metrics.horizontalAdvance(QLatin1String(kColumns[i].title)));
    header->setSectionResizeMode(i, QHeaderView::Interactive);
    header->resizeSection(i, text + margin);
  }
  table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table->verticalHeader()->setDefaultSectionSize(metrics.height() + metrics.height() / 2);
}

}  // namespace

PropertyID ColumnProperty(Column column) { return kColumns[static_cast<int>(column)].property; }

Status SetItemDataText(ItemData* itemData, const QString& text) {
  if (!itemData) return kStatusItemNotFound;
  itemData->text = text;
  itemData->bHasText = true;
  return kNoErr;
}

Status ListItemDataCallback(ProcListModel* /*browser*/, ItemID itemID, PropertyID property,
                            ItemData* itemData, bool setValue) {
  const Request* request = RequestOf(itemID);
  if (!request) return kStatusNoRecord;
  if (setValue) return kStatusReadOnly;

  QString text;
  switch (property) {
    case kPropProc: {
      const int32_t state = request->State();
      if (state < 0 || state >= kStateCount) return kNoErr;
      return SetItemDataText(itemData, QLatin1String(cfStatusString[state]));
    }
    case kPropFile:
      text = PathText(*request);
      break;
    case kPropSrcl:
      // Sizes are unsigned 32-bit: a file of 3 GB shows as such, never as a negative number.
      text = QString::asprintf("%u", static_cast<unsigned>(request->SrcSize()));
      break;
    case kPropDstl: {
      const uint32_t dst = request->DstSize();
      if (dst == 0) return kNoErr;
      text = QString::asprintf("%u", static_cast<unsigned>(dst));
      break;
    }
    case kPropRtio: {
      const uint32_t dst = request->DstSize();
      const uint32_t src = request->SrcSize();
      if (dst == 0 || src == 0) return kNoErr;
      // asprintf formats in the C locale: the ratio reads "45.3 %" whatever the user's locale.
      text = QString::asprintf("%.1f %%", static_cast<double>(dst) * 100.0 / static_cast<double>(src));
      break;
    }
    default:
      return kNoErr;
  }
  return SetItemDataText(itemData, text);
}

Status ProcListModel::AddItem(ItemID itemID) {
  if (itemID != static_cast<ItemID>(nItems) + 1) return kStatusItemNotAdded;
  beginInsertRows({}, nItems, nItems);
  ++nItems;
  endInsertRows();
  return kNoErr;
}

Status ProcListModel::UpdateItem(ItemID itemID, PropertyID property) {
  const int column = ColumnOf(property);
  if (itemID < 1 || itemID > static_cast<ItemID>(nItems) || column < 0) return kStatusItemNotFound;
  const QModelIndex cell = index(static_cast<int>(itemID) - 1, column);
  Q_EMIT dataChanged(cell, cell);
  return kNoErr;
}

Status ProcListModel::RevealItem(QAbstractItemView* view, ItemID itemID) const {
  if (!view || view->model() != this || itemID < 1 || itemID > static_cast<ItemID>(nItems)) {
    return kStatusItemNotFound;
  }
  view->scrollTo(index(static_cast<int>(itemID) - 1, 0), QAbstractItemView::PositionAtCenter);
  return kNoErr;
}

int ProcListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : nItems;
}

int ProcListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant ProcListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.column() >= kColumnCount) return {};
  const ItemID itemID = static_cast<ItemID>(index.row()) + 1;
  const Column column = static_cast<Column>(index.column());
  switch (role) {
    case Qt::DisplayRole: {
      ItemData cell;
      if (ListItemDataCallback(const_cast<ProcListModel*>(this), itemID, ColumnProperty(column),
                               &cell, false) != kNoErr ||
          !cell.bHasText) {
        return {};
      }
      return cell.text;
    }
    case Qt::ToolTipRole: {
      const Request* request = RequestOf(itemID);
      if (!request) return {};
      // The path cell is elided in the middle when it is too narrow; its tip shows it whole.
      if (column == Column::File) return PathText(*request);
      if (column == Column::State && request->State() == kStateError) {
        return QString::fromUtf8(JobErrorText(static_cast<JobError>(request->Reason())));
      }
      return {};
    }
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(AlignmentOf(index.column()));
    case Qt::ForegroundRole: {
      // A red that reads on light and dark backgrounds alike.
      const Request* request = RequestOf(itemID);
      if (column == Column::State && request && request->State() == kStateError) {
        return QColor(0xE0, 0x1B, 0x24);
      }
      return {};
    }
    default:
      return {};
  }
}

QVariant ProcListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  if (role == Qt::DisplayRole) return tr(kColumns[section].title);
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(AlignmentOf(section));
  return {};
}

Qt::ItemFlags ProcListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

bool ProcListModel::setData(const QModelIndex& index, const QVariant& /*value*/, int /*role*/) {
  if (!index.isValid()) return false;
  ItemData ignored;
  return ListItemDataCallback(this, static_cast<ItemID>(index.row()) + 1,
                              ColumnProperty(static_cast<Column>(index.column())), &ignored,
                              true) == kNoErr;
}

Status GetProcList(QAbstractItemView** view, ProcListModel** model) {
  *model = nullptr;
  const Status status = GetControlByID(wndMain, kListCtrlID, view);
  if (status != kNoErr) return status;
  *model = qobject_cast<ProcListModel*>((*view)->model());
  return *model ? kNoErr : kStatusControlNotFound;
}

Status InitProcList() {
  QAbstractItemView* view = nullptr;
  const Status status = GetControlByID(wndMain, kListCtrlID, &view);
  if (status != kNoErr) return status;
  view->setModel(new ProcListModel(view));
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  InstallDragCallbacks(view);
  if (auto* table = qobject_cast<QTableView*>(view)) LayOutColumns(table);
  return kNoErr;
}
