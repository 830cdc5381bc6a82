#include "folderservices/FolderScan.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/run/ReportLocations.h"
#include "folderservices/ListingOrder.h"
#include "folderservices/Utf8.h"

namespace pellatrix {

namespace {

// The attribute words of a hidden system folder, plain and through a link: never listed.
constexpr int kHiddenSystemFolder = kAttrHidden | kAttrSystem | kAttrDirectory;
constexpr int kHiddenSystemLink = kHiddenSystemFolder | kAttrReparsePoint;

bool isHiddenSystem(int attributes) {
    return attributes == kHiddenSystemFolder || attributes == kHiddenSystemLink;
}

// `*` any run of characters, `?` exactly one, anything else itself. Both sides are listing keys
// (case-folded characters; a byte that starts no UTF-8 sequence is one character of its own), so
// a match ignores case as the listing's order does, and never splits a character.
bool globMatches(std::u32string_view pattern, std::u32string_view name) {
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t starAt = std::u32string_view::npos;
    std::size_t starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == U'*') {
            starAt = p++;
            starName = n;
        } else if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (starAt != std::u32string_view::npos) {
            // Let the last `*` take one more character and try again from there.
            p = starAt + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == U'*') {
        ++p;
    }
    return p == pattern.size();
}

// A wildcard pattern prepared once for many names.
class Wildcard {
public:
    explicit Wildcard(const std::string& pattern) : m_pattern(ListingKey(pattern)) {
        // A directory search lets "x.*" match "x" too; that is what makes "*.*" match every name.
        constexpr std::u32string_view kAnyExtension = U".*";
        if (m_pattern.ends_with(kAnyExtension)) {
            m_withoutExtension = m_pattern.substr(0, m_pattern.size() - kAnyExtension.size());
        }
    }
    bool matches(const std::string& name) const {
        const std::u32string key = ListingKey(name);
        return globMatches(m_pattern, key) ||
               (m_withoutExtension && globMatches(*m_withoutExtension, key));
    }

private:
    std::u32string m_pattern;
    std::optional<std::u32string> m_withoutExtension;
};

void sortListed(std::vector<ListedFile>& files) {
    SortInListingOrder(files,
                       [](const ListedFile& file) -> const std::string& { return file.name; });
}

}  // namespace

// A folder list as one run of bytes and where each entry ends, in chunked storage: a level of
// 100,000 folders costs its paths and 8 bytes each, and grows without a doubled copy. A streamed
// scan forgets the entries it went past, so a level's paths leave as the next level's come.
class FolderScan::Folders {
public:
    Folders() = default;
    explicit Folders(const FolderList& list) {
        for (const std::string& entry : list) {
            push_back(entry);
        }
    }
    std::size_t size() const { return m_first + m_ends.size(); }
    bool empty() const { return size() == 0; }
    /// Entries before this one were forgotten.
    std::size_t first() const { return m_first; }
    std::string at(std::size_t i) const { return std::string(byteAt(begin(i)), byteAt(end(i))); }
    bool equals(std::size_t i, std::string_view text) const {
        return i >= m_first && end(i) - begin(i) == text.size() &&
               std::equal(text.begin(), text.end(), byteAt(begin(i)));
    }
    void push_back(std::string_view entry) {
        m_bytes.insert(m_bytes.end(), entry.begin(), entry.end());
        try {
            m_ends.push_back(m_firstByte + m_bytes.size());
        } catch (...) {
            m_bytes.resize(m_ends.empty() ? 0 : m_ends.back() - m_firstByte);
            throw;
        }
    }
    void erase(std::size_t i) {
        const std::size_t from = begin(i);
        const std::size_t length = end(i) - from;
        m_bytes.erase(byteAt(from), byteAt(from + length));
        m_ends.erase(m_ends.begin() + offset(i - m_first));
        for (std::size_t j = i - m_first; j < m_ends.size(); ++j) {
            m_ends[j] -= length;
        }
    }
    /// Lets go of the entries before `i`.
    void forgetBefore(std::size_t i) {
        if (i <= m_first || i > size()) {
            return;
        }
        const std::size_t byte = end(i - 1);
        m_bytes.erase(m_bytes.begin(), byteAt(byte));
        m_ends.erase(m_ends.begin(), m_ends.begin() + offset(i - m_first));
        m_first = i;
        m_firstByte = byte;
    }
    void release() { forgetBefore(size()); }
    FolderList toList() const {
        FolderList list;
        list.reserve(size() - m_first);
        for (std::size_t i = m_first; i < size(); ++i) {
            list.push_back(at(i));
        }
        return list;
    }

private:
    static std::ptrdiff_t offset(std::size_t i) { return static_cast<std::ptrdiff_t>(i); }
    std::size_t begin(std::size_t i) const { return i == m_first ? m_firstByte : end(i - 1); }
    std::size_t end(std::size_t i) const { return m_ends[i - m_first]; }
    std::deque<char>::const_iterator byteAt(std::size_t at) const {
        return m_bytes.begin() + offset(at - m_firstByte);
    }
    std::deque<char>::iterator byteAt(std::size_t at) {
        return m_bytes.begin() + offset(at - m_firstByte);
    }

    std::deque<char> m_bytes;        // from m_firstByte on
    std::deque<std::size_t> m_ends;  // from entry m_first on, counted from the first entry
    std::size_t m_first = 0;
    std::size_t m_firstByte = 0;
};

namespace {

bool identityLess(const FolderIdentity& a, const FolderIdentity& b) {
    return a.device != b.device ? a.device < b.device : a.inode < b.inode;
}

}  // namespace

bool FolderScan::MetFolders::contains(const FolderIdentity& id) const {
    return m_recent.count(id) != 0 ||
           std::binary_search(m_sorted.begin(), m_sorted.end(), id, identityLess);
}

bool FolderScan::MetFolders::insert(const FolderIdentity& id) {
    if (std::binary_search(m_sorted.begin(), m_sorted.end(), id, identityLess) ||
        !m_recent.insert(id).second) {
        return false;
    }
    // Merging costs a pass over the array, so the set may grow with it: a few passes per
    // doubling of the folders met.
    constexpr std::size_t kMinRecent = 1024;
    if (m_recent.size() >= std::max(kMinRecent, m_sorted.size() / 8)) {
        const std::size_t middle = m_sorted.size();
        const std::size_t need = middle + m_recent.size();
        if (need > m_sorted.capacity()) {
            m_sorted.reserve(need + need / 8);
        }
        m_sorted.insert(m_sorted.end(), m_recent.begin(), m_recent.end());
        std::sort(m_sorted.begin() + static_cast<std::ptrdiff_t>(middle), m_sorted.end(),
                  identityLess);
        std::inplace_merge(m_sorted.begin(), m_sorted.begin() + static_cast<std::ptrdiff_t>(middle),
                           m_sorted.end(), identityLess);
        std::unordered_set<FolderIdentity>().swap(m_recent);
    }
    return true;
}

FolderScan::FolderScan(ScanFileSystem& fs, std::function<void()> yield, ErrorReporter report)
    : m_fs(fs), m_yield(std::move(yield)), m_report(std::move(report)) {}

FolderScan::~FolderScan() = default;

void FolderScan::streamTree(const std::string& start, const std::string& pattern,
                            const FolderSink& sink) {
    m_keepFile = [wildcard = Wildcard(pattern)](const std::string& name) {
        return wildcard.matches(name);
    };
    m_sink = &sink;
    // Both belong to this one call: a later GetSubDirectories2016 builds a list as before.
    struct Reset {
        FolderScan& scan;
        ~Reset() {
            scan.m_sink = nullptr;
            scan.m_keepFile = nullptr;
        }
    } reset{*this};
    Folders folders;
    folders.push_back(start);
    scanPass(folders, true, nullptr, false);
}

// IsExistingFolder that keeps the attribute word it read, so the attribute test that follows
// needs no second read, and the folder's identity where the same look-up told it. The final
// separator is dropped as there, so a link reads as a link.
bool FolderScan::isExistingFolder(const std::string& path, int& attributes,
                                  std::optional<FolderIdentity>& identity) {
    try {
        if (path.empty()) {
            return false;
        }
        std::string bare = path;
        if (bare.size() > 1 && bare.back() == kFolderSeparator &&
            !(kNativeFlavour == PathFlavour::Windows && bare.size() == 3 && bare[1] == ':')) {
            bare.pop_back();
        }
        attributes = m_fs.attributesAndIdentity(bare, identity);
        return (attributes & kAttrDirectory) != 0;
    } catch (...) {
        return false;
    }
}

void FolderScan::GetSubDirectories2016(FolderList& folders, bool recurse) {
    Folders packed(folders);
    scanPass(packed, recurse, nullptr, false);
    folders = packed.toList();
}

std::size_t FolderScan::scanPass(Folders& folders, bool recurse, FolderWords* words, bool nested) {
    std::size_t removed = 0;
    Trap trap(locations::kGetSubDirectories2016, m_report);
    const auto yield = [this] {
        if (m_yield) {
            m_yield();
        }
    };

    Folders found;  // 100-104
    // From the first listing of this pass on, failures follow the listing-failure rule (the
    // folder is dropped for 70 and 76, kept otherwise, and the pass goes on with the next one)
    // instead of being reported.
    bool ruleArmed = false;

    // 106: the list may shrink under us (the rule removes entries), so walk it by index.
    for (std::size_t index = 0; index < folders.size();) {
        const std::string folder = folders.at(index);
        bool abandoned = false;
        bool removedAtOrBefore = false;
        bool currentRemoved = false;
        std::optional<int> word;  // this entry's attribute word, none when no existing folder
        std::optional<std::vector<ListedFile>> files;  // its files, where a streamed scan read them

        const auto applyRule = [&](int number) {
            abandoned = true;
            if (number != kErrPermissionDenied && number != kErrPathNotFound) {
                return;
            }
            for (std::size_t i = folders.first(); i < folders.size(); ++i) {
                if (folders.equals(i, folder)) {
                    folders.erase(i);
                    removedAtOrBefore = i <= index;
                    currentRemoved = i == index;
                    if (words != nullptr && i < index) {
                        words->erase(words->begin() + static_cast<std::ptrdiff_t>(i));
                    }
                    ++removed;
                    return;
                }
            }
        };
        // One numbered statement: reported through the trap before the rule is armed, handled
        // by the rule after. False when it failed.
        const auto run = [&](int line, auto&& statement) -> bool {
            if (!ruleArmed) {
                return trap.step(line, statement);
            }
            try {
                statement();
                return true;
            } catch (const FsError& e) {
                applyRule(e.number());
            } catch (const std::exception&) {
                applyRule(0);
            }
            return false;
        };
        const auto next = [&] {
            if (words != nullptr && !currentRemoved) {
                words->push_back(word);
            }
            // A streamed scan hands the entry on now, if it is to stand in the result: every
            // entry of the caller's list that stays, and of a found list what the final pass
            // (152-160) would take, tested here at once, so the result keeps its order.
            if (m_sink != nullptr && !currentRemoved &&
                (!nested || (word && trap.step(156, yield) && trap.test(158, [&] {
                    return !isHiddenSystem(*word) || m_fs.isRootFolder(folder);
                })))) {
                (*m_sink)(folder, std::move(files));
            }
            if (!removedAtOrBefore) {
                ++index;
            }
            if (m_sink != nullptr) {
                folders.forgetBefore(index);
            }
        };
        // A folder met before under another path (a link back to an ancestor, a second link to
        // one folder) leaves the list: its subfolders and its files are listed once, under the
        // path that met it first.
        const auto dropDuplicate = [&] {
            folders.erase(index);
            removedAtOrBefore = true;
            currentRemoved = true;
            ++removed;
        };

        // 108: the attribute word read here also serves the test of 116, and the caller's final
        // pass over these entries; the identity, where the same look-up told it, serves 110-118.
        int attributes = 0;
        std::optional<FolderIdentity> known;
        if (isExistingFolder(folder, attributes, known)) {
            word = attributes;
        } else {
            next();
            continue;
        }
        // 110: a folder this long is not listed, but the caller lists its files, so a second
        // path to a folder met before still goes. It is not counted as met itself: a shorter
        // path to it later is listed.
        if (CharacterCount(folder) >= kMaxPathChars) {
            try {
                if (m_met.contains(known ? *known : m_fs.folderIdentity(folder))) {
                    dropDuplicate();
                }
            } catch (...) {
                // Whether it was met cannot be told; it stays, as it did before the check.
            }
            next();
            continue;
        }
        // 112-114: open it (its identity on the disk) and yield.
        std::optional<FolderIdentity> identity;
        run(112, [&] { identity = known ? *known : m_fs.folderIdentity(folder); });
        if (identity && !m_met.insert(*identity)) {
            dropDuplicate();
            next();
            continue;
        }
        if (!abandoned) {
            run(114, yield);
        }
        if (abandoned) {
            next();
            continue;
        }
        // 116: a failing test counts as held, so the folder is listed (and the rule armed).
        bool listIt = true;
        run(116, [&] { listIt = !isHiddenSystem(attributes) || m_fs.isRootFolder(folder); });
        if (abandoned) {
            next();
            continue;
        }
        if (!listIt) {
            next();
            continue;
        }
        ruleArmed = true;

        // 118-136: list the subfolders. Each folder is met once per scan, so link loops end.
        bool duplicate = false;
        run(118, [&] {
            if (!identity) {
                identity = m_fs.folderIdentity(folder);
                if (!m_met.insert(*identity)) {
                    duplicate = true;
                    return;
                }
            }
            const std::string parent = (!folder.empty() && folder.back() == kFolderSeparator)
                                           ? folder
                                           : folder + kFolderSeparator;
            std::vector<std::string> names;
            if (m_keepFile) {
                // The files come from the same read, where the file system gives them, so the
                // caller's listing of this folder need not read it again.
                FolderEntries entries = m_fs.readFolder(folder, m_keepFile);
                names = std::move(entries.subFolders);
                if (entries.files) {
                    sortListed(*entries.files);
                    files = std::move(entries.files);
                }
            } else {
                names = m_fs.subFolderNames(folder);
            }
            SortInListingOrder(names);
            for (const std::string& name : names) {
                yield();                                      // 120-122
                if (CharacterCount(name) >= kMaxPathChars) {  // 124
                    continue;
                }
                if (HasUnusableChars(name)) {  // 126
                    continue;
                }
                if (name.find('?') != std::string::npos) {  // 128
                    continue;
                }
                if (name == "." || name == "..") {  // 130
                    continue;
                }
                found.push_back(parent + name + kFolderSeparator);  // 132-134
            }
        });
        if (duplicate) {
            dropDuplicate();
        }
        next();  // 138-148
    }

    if (m_sink != nullptr) {
        // Streamed: this level went to the sink as it was read; the next needs only `found`.
        folders.release();
        if (recurse && !found.empty()) {
            trap.step(150, [&] { scanPass(found, true, nullptr, true); });
        }
        return removed;
    }

    // 150: the nested pass drops the entries it could not list from `found` and appends the
    // deeper levels, already tested by its own final pass.
    std::size_t ownEntries = found.size();
    FolderWords foundWords;
    if (recurse && !found.empty()) {
        foundWords.reserve(found.size());
        trap.step(150, [&] { ownEntries -= scanPass(found, true, &foundWords, true); });
    }
    // Only a nested pass that went through all its entries left one word per entry.
    const bool wordsKnown = recurse && foundWords.size() == ownEntries;

    // 152-160: no length test here, so a deep folder that was not listed is still added.
    for (std::size_t i = 0; i < ownEntries && i < found.size(); ++i) {
        std::string entry = found.at(i);
        // 154: the nested pass read this entry's attribute word a moment ago, at its own 108;
        // reading it again would cost a second look-up per folder for the same answer.
        int attributes = 0;
        bool existing = false;
        if (wordsKnown) {
            existing = foundWords[i].has_value();
            attributes = foundWords[i].value_or(0);
        } else {
            std::optional<FolderIdentity> unused;
            existing = isExistingFolder(entry, attributes, unused);
        }
        if (!existing) {
            continue;
        }
        trap.step(156, yield);
        if (trap.test(158,
                      [&] { return !isHiddenSystem(attributes) || m_fs.isRootFolder(entry); })) {
            trap.step(160, [&] { folders.push_back(entry); });
        }
    }
    // The deeper levels passed these very tests a moment ago in the nested final pass; testing
    // them again at every level above would cost one attribute read per level of depth and
    // report one failure once per level.
    if (ownEntries < found.size()) {
        trap.step(160, [&] {
            for (std::size_t i = ownEntries; i < found.size(); ++i) {
                folders.push_back(found.at(i));
            }
        });
    }
    return removed;
}

std::vector<std::string> ListFilesInFolder(ScanFileSystem& fs, const std::string& folder,
                                           const std::string& pattern) {
    std::string directory = folder;
    if (directory.empty() || directory.back() != kFolderSeparator) {
        directory += kFolderSeparator;
    }
    // The listing keeps only what IsExistingFile(directory + name) accepts, so a file system
    // can answer that from the listing instead of one look-up per name.
    const Wildcard wildcard(pattern);
    std::vector<std::string> result;
    for (std::string& name : fs.regularFileNames(directory)) {
        if (wildcard.matches(name)) {
            result.push_back(std::move(name));
        }
    }
    SortInListingOrder(result);
    return result;
}

std::vector<ListedFile> ListFilesWithAttributes(ScanFileSystem& fs, const std::string& folder,
                                                const std::string& pattern) {
    std::string directory = folder;
    if (directory.empty() || directory.back() != kFolderSeparator) {
        directory += kFolderSeparator;
    }
    const Wildcard wildcard(pattern);
    std::vector<ListedFile> files =
        fs.listFiles(directory, [&](const std::string& name) { return wildcard.matches(name); });
    sortListed(files);
    return files;
}

bool MatchesWildcard(const std::string& pattern, const std::string& name) {
    return Wildcard(pattern).matches(name);
}

bool IsExistingFile(ScanFileSystem& fs, const std::string& path) {
    if (path.empty()) {
        return false;
    }
    try {
        return fs.isExistingFile(path);
    } catch (...) {
        return false;
    }
}

bool HasUnusableChars(std::string_view name) {
    std::size_t pos = 0;
    while (pos < name.size()) {
        const std::optional<char32_t> code = DecodeUtf8(name, pos);
        if (!code) {
            return true;  // no code here: it counts as "?"
        }
        if (*code < 32 || (*code >= 127 && *code <= 159) || *code == U'?') {
            return true;
        }
    }
    return false;
}

std::size_t CharacterCount(std::string_view text) {
    std::size_t count = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        DecodeUtf8(text, pos);
        ++count;
    }
    return count;
}

bool PathIsMissing(ScanFileSystem& fs, const std::string& path) {
    if (path.empty()) {
        return true;
    }
    try {
        fs.attributes(path);
        return false;
    } catch (...) {
        return true;
    }
}

}  // namespace pellatrix
