#include "inputlist/InputListModel.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace pellatrix {

namespace {

// Large enough that a million paths take a few dozen allocations, small enough that the unused
// end of the last block stays negligible.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// Removed entries leave their bytes behind; the blocks are rewritten only when the dead bytes
// outweigh the live ones, so each removal costs the span shift alone, and the rewrite is paid
// for by the removals that made it necessary.
constexpr std::size_t kCompactFromDeadBytes = 4 * kBlockBytes;

}  // namespace

void PathBatch::add(std::string_view path) {
    m_bytes.append(path);
    m_ends.push_back(m_bytes.size());
}

void PathBatch::add(std::string_view folderPart, std::string_view name) {
    m_bytes.append(folderPart);
    m_bytes.append(name);
    m_ends.push_back(m_bytes.size());
}

std::string_view PathBatch::at(std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : m_ends[i - 1];
    return std::string_view(m_bytes).substr(begin, m_ends[i] - begin);
}

void PathBatch::clear() {
    m_bytes.clear();
    m_ends.clear();
}

InputListModel::InputListModel(QObject* parent) : QAbstractListModel(parent) {}

InputListModel::~InputListModel() = default;

std::string_view InputListModel::entryBytes(int row) const {
    if (row < 0 || row >= entryCount()) {
        return {};
    }
    const Span& s = m_spans[static_cast<std::size_t>(row)];
    return std::string_view(m_blocks[s.block].bytes.get() + s.offset, s.length);
}

QString InputListModel::entryText(int row) const {
    const std::string_view bytes = entryBytes(row);
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

InputListModel::Span InputListModel::store(std::string_view head, std::string_view tail) {
    const std::size_t total = head.size() + tail.size();
    if (total > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("a path of more than 4 GiB cannot be listed");
    }
    const auto length = static_cast<std::uint32_t>(total);
    if (m_blocks.empty() || m_blocks.back().size - m_blocks.back().used < length) {
        Block block;
        block.size = static_cast<std::uint32_t>(std::max<std::size_t>(kBlockBytes, length));
        // Not value-initialised: pages become resident only as paths are written into them.
        block.bytes.reset(new char[block.size]);
        m_blocks.push_back(std::move(block));
    }
    Block& block = m_blocks.back();
    char* at = std::copy(head.begin(), head.end(), block.bytes.get() + block.used);
    std::copy(tail.begin(), tail.end(), at);
    const Span span{static_cast<std::uint32_t>(m_blocks.size() - 1), block.used, length};
    block.used += length;
    m_liveBytes += length;
    return span;
}

void InputListModel::stage(std::string_view folderPart, std::string_view name) {
    const Span span = store(folderPart, name);
    try {
        m_spans.push_back(span);
    } catch (...) {
        m_liveBytes -= span.length;
        m_deadBytes += span.length;
        throw;
    }
    m_stagedBytes += span.length;
}

void InputListModel::commitStaged() {
    if (m_shown == m_spans.size()) {
        return;
    }
    // Everything that can fail happened while staging, before the view is told of the rows.
    beginInsertRows(QModelIndex(), static_cast<int>(m_shown), static_cast<int>(m_spans.size() - 1));
    m_shown = m_spans.size();
    m_stagedBytes = 0;
    endInsertRows();
}

void InputListModel::append(std::string_view path) {
    stage(path, {});
    commitStaged();
}

void InputListModel::append(const PathBatch& batch) {
    // All or nothing: a batch that cannot be stored whole leaves nothing staged of its own.
    const std::size_t before = m_spans.size();
    try {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            stage(batch.at(i), {});
        }
    } catch (...) {
        while (m_spans.size() > before) {
            const std::uint32_t length = m_spans.back().length;
            m_spans.pop_back();
            m_stagedBytes -= length;
            m_liveBytes -= length;
            m_deadBytes += length;
        }
        throw;
    }
    commitStaged();
}

void InputListModel::remove(int row) {
    if (row < 0 || row >= entryCount()) {
        return;
    }
    beginRemoveRows(QModelIndex(), row, row);
    const std::uint32_t length = m_spans[static_cast<std::size_t>(row)].length;
    m_spans.erase(m_spans.begin() + row);
    --m_shown;
    m_liveBytes -= length;
    m_deadBytes += length;
    endRemoveRows();
    compactIfWasteful();
}

void InputListModel::clear() {
    beginResetModel();
    if (m_shown == m_spans.size()) {
        std::deque<Span>().swap(m_spans);
        std::vector<Block>().swap(m_blocks);
        m_liveBytes = 0;
        m_deadBytes = 0;
    } else {
        // An add that is under way keeps what it has staged; their bytes stay where they are.
        m_spans.erase(m_spans.begin(), m_spans.begin() + static_cast<std::ptrdiff_t>(m_shown));
        m_deadBytes += m_liveBytes - m_stagedBytes;
        m_liveBytes = m_stagedBytes;
    }
    m_shown = 0;
    endResetModel();
    compactIfWasteful();
}

void InputListModel::swap(int a, int b) {
    if (a < 0 || b < 0 || a >= entryCount() || b >= entryCount() || a == b) {
        return;
    }
    std::swap(m_spans[static_cast<std::size_t>(a)], m_spans[static_cast<std::size_t>(b)]);
    emit dataChanged(index(a), index(a), {Qt::DisplayRole});
    emit dataChanged(index(b), index(b), {Qt::DisplayRole});
}

void InputListModel::compactIfWasteful() {
    if (m_spans.empty()) {
        std::vector<Block>().swap(m_blocks);
        m_liveBytes = 0;
        m_deadBytes = 0;
        return;
    }
    if (m_deadBytes < kCompactFromDeadBytes || m_deadBytes <= m_liveBytes) {
        return;
    }
    // Rows and texts stay as they are; only where the bytes lie changes, so the view is not told.
    std::vector<Block> old;
    old.swap(m_blocks);
    const std::size_t live = m_liveBytes;
    const std::size_t dead = m_deadBytes;
    m_liveBytes = 0;
    try {
        std::deque<Span> moved;
        for (const Span& span : m_spans) {
            const Block& from = old[span.block];
            moved.push_back(store(std::string_view(from.bytes.get() + span.offset, span.length)));
        }
        m_spans.swap(moved);
        m_deadBytes = 0;
    } catch (const std::bad_alloc&) {
        // Without room for the copy the list simply keeps its old blocks.
        m_blocks.swap(old);
        m_liveBytes = live;
        m_deadBytes = dead;
    }
}

void InputListModel::setHeaderText(const QString& text) {
    m_header = text;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

int InputListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : entryCount();
}

QVariant InputListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.column() != 0) {
        return QVariant();
    }
    return entryText(index.row());
}

QVariant InputListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role == Qt::DisplayRole && orientation == Qt::Horizontal && section == 0) {
        return m_header;
    }
    return QAbstractListModel::headerData(section, orientation, role);
}

Qt::ItemFlags InputListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
}

}  // namespace pellatrix
