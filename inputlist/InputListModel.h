#pragma once

#include <QAbstractListModel>
#include <QString>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pellatrix {

/// Paths gathered for one insertion into the list: their bytes end to end and where each ends.
class PathBatch {
public:
    void add(std::string_view path);
    /// Adds the path made of `folderPart` followed by `name`.
    void add(std::string_view folderPart, std::string_view name);
    std::size_t size() const { return m_ends.size(); }
    bool empty() const { return m_ends.empty(); }
    std::string_view at(std::size_t i) const;
    void clear();

private:
    std::string m_bytes;
    std::vector<std::size_t> m_ends;
};

/// The entries of the input list: the exact bytes of each path, kept in large shared blocks with
/// one small span per entry, so a million entries cost their bytes plus 12 bytes each. The spans
/// lie in fixed-size chunks, so the list grows without a doubled copy of them. Shown as one
/// column, decoded (invalid sequences as replacement characters) only for display.
///
/// Entries can also be staged: stored at once, shown (and counted) only from commitStaged on, so
/// an add that finds paths one by one writes each once and tells the view once per batch.
class InputListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit InputListModel(QObject* parent = nullptr);
    ~InputListModel() override;

    int entryCount() const { return static_cast<int>(m_shown); }
    /// The exact bytes of entry `row` (0-based); valid until the list next changes.
    std::string_view entryBytes(int row) const;
    /// Entry `row` as shown.
    QString entryText(int row) const;

    void append(std::string_view path);
    /// One insertion for the whole batch, whatever its size.
    void append(const PathBatch& batch);
    /// Stores `folderPart` followed by `name` behind the entries, not shown yet.
    void stage(std::string_view folderPart, std::string_view name);
    std::size_t stagedCount() const { return m_spans.size() - m_shown; }
    std::size_t stagedBytes() const { return m_stagedBytes; }
    /// Shows the staged entries at the bottom, in the order staged: one insertion.
    void commitStaged();
    /// Removes entry `row`; the ones below move up. Out of range: nothing.
    void remove(int row);
    /// Removes every entry; staged ones stay staged.
    void clear();
    /// Trades the texts of two entries.
    void swap(int a, int b);

    void setHeaderText(const QString& text);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Span {
        std::uint32_t block;
        std::uint32_t offset;
        std::uint32_t length;
    };
    struct Block {
        std::unique_ptr<char[]> bytes;
        std::uint32_t size = 0;
        std::uint32_t used = 0;
    };

    /// Copies `head` and `tail` into the blocks as one path and answers where it lies; no signal.
    Span store(std::string_view head, std::string_view tail = {});
    /// Rewrites the live bytes into fresh blocks once removals left more dead bytes than live.
    void compactIfWasteful();

    std::vector<Block> m_blocks;
    // The shown entries, then the staged ones.
    std::deque<Span> m_spans;
    std::size_t m_shown = 0;
    std::size_t m_stagedBytes = 0;
    std::size_t m_liveBytes = 0;
    std::size_t m_deadBytes = 0;
    QString m_header;
};

}  // namespace pellatrix
