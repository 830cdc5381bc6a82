#include "engine/journal/JournalFormat.h"
#include "engine/fs/FullIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// xxHash compiled in from its header: no library to link, whatever the word size of the build.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "engine/journal/RunJournal.h"
#include "engine/journal/StateFolder.h"

namespace pellatrix::journal {

namespace {

constexpr std::size_t kCopyChunk = std::size_t{1} << 20;

// What JournalReader learns in its pass through a journal, and what it reads a block with.
struct StepIndex {
    std::size_t block;
    std::vector<std::uint64_t>& starts;
    std::vector<std::size_t>& blockEnds;
    std::unordered_map<std::string, FileIdentity>& folders;
};

constexpr unsigned kLaneShift = 48;
constexpr std::uint64_t kStartMask = (std::uint64_t{1} << kLaneShift) - 1;
// The bytes read through before the pass lets them go.
constexpr std::size_t kReleaseEvery = std::size_t{16} << 20;

class Parser {
public:
    // `lastOnly`: keeps of each lane only the last step, and the last hidden file before it,
    // which is all LastHiddenFiles asks; a long journal then costs no memory per step.
    explicit Parser(std::string_view text, bool lastOnly = false)
        : m_text(text), m_lastOnly(lastOnly) {}

    // The pass of JournalReader: as `lastOnly`, and each step's start, its block's end and the
    // folders made go to `index`; `release` lets go of bytes read through.
    Parser(std::string_view text, StepIndex& index, std::function<void(std::size_t)> release)
        : m_text(text), m_lastOnly(true), m_index(&index), m_release(std::move(release)) {}

    // The steps numbered [first, first + count) of the journal `index` was made of, read from
    // the start of the first up to `end`.
    Parser(std::string_view text, StepIndex& index, std::size_t first, std::size_t count,
           std::size_t end)
        : m_text(text.substr(0, end)),
          m_index(&index),
          m_first(first),
          m_count(count),
          m_next(first) {}

    Journal parse() {
        Journal journal;
        if (m_count != 0) {
            m_at = static_cast<std::size_t>(m_index->starts[m_first] & kStartMask);
            m_lane = static_cast<unsigned>(m_index->starts[m_first] >> kLaneShift);
        } else if (m_text.substr(0, kHeader.size()) != kHeader &&
                   m_text.substr(0, kHeaderVersion2.size()) != kHeaderVersion2) {
            fail("it is not a Pellatrix journal");
        } else {
            m_at = kHeader.size();
        }
        while (m_at < m_text.size() && m_text[m_at] != '\0') {
            m_recordStart = m_at;
            if (m_release && m_at - m_released >= kReleaseEvery) {
                m_release(m_at);
                m_released = m_at;
            }
            const char type = m_text[m_at];
            if (m_at + 1 >= m_text.size()) {
                fail("it ends inside a record");
            }
            m_at += 1;
            record(journal, type);
        }
        if (m_index != nullptr && m_count == 0) {
            for (const Step& step : journal.steps) {
                finished(step);
            }
        }
        journal.unclaimedLinks.assign(m_linksBegun.begin(), m_linksBegun.end());
        return journal;
    }

private:
    // One record, its type byte read.
    void record(Journal& journal, char type) {
        switch (type) {
            case 't':
                expect(' ');
                m_lane = number<unsigned>();
                endOfRecord();
                return;
            case 'e':
            case 'x':
                expect('\n');
                if (type == 'e') {
                    journal.complete = true;
                } else if (Step* step = recordsStep(journal)) {
                    step->withdrawn = true;
                    touched(*step);
                }
                return;
            default:
                break;
        }
        expect(' ');
        switch (type) {
            case 'D':
            case 'N':
            case 'H':
                announcement(journal, type);
                break;
            case 'd':
            case 'n':
                confirmation(journal, type == 'd' ? Step::Kind::Folder : Step::Kind::New);
                break;
            case 'h':
                hiddenMade(journal);
                break;
            case 'r':
            case 'i':
                replacement(journal, type);
                break;
            case 'w':
                written(journal);
                break;
            case 'L':
                linkBegun();
                break;
            case 's':
                path();
                journal.partial = true;
                break;
            default:
                fail("it holds an unknown record");
        }
    }

    void endOfRecord() {
        if (m_at == 0 || m_text[m_at - 1] != '\n') {
            fail("a record is cut short");
        }
    }

    // "D", "N" or "H": a folder, new file or hidden file about to be made.
    void announcement(Journal& journal, char type) {
        std::int64_t announcedNs = 0;
        if (m_at < m_text.size() && m_text[m_at] == '@') {
            ++m_at;
            announcedNs = number<std::int64_t>();
        }
        Step step{type == 'D'   ? Step::Kind::Folder
                  : type == 'N' ? Step::Kind::New
                                : Step::Kind::Hidden,
                  path(),
                  {},
                  {},
                  "-",
                  std::nullopt,
                  false,
                  std::nullopt,
                  false,
                  m_lane,
                  announcedNs};
        add(journal, std::move(step));
    }

    // "d" or "n": the folder or new file made.
    void confirmation(Journal& journal, Step::Kind kind) {
        const FileStamp made = stamp();
        std::string named = path();
        // The confirmation of the announcement before it, or, in a journal of version 2, a step
        // of its own.
        if (m_count != 0 && !startsStep()) {
            if (Step* before = recordsStep(journal)) {
                before->opened = made;
                before->made = true;
            }
            return;
        }
        if (Step* before = m_count != 0 ? nullptr : laneStep(journal);
            before != nullptr && !before->made && !before->withdrawn && before->kind == kind &&
            before->path == named) {
            before->opened = made;
            before->made = true;
            touched(*before);
            return;
        }
        add(journal, {kind,
                      std::move(named),
                      made,
                      {},
                      "-",
                      std::nullopt,
                      false,
                      std::nullopt,
                      true,
                      m_lane,
                      0});
    }

    // "h": the hidden file announced before it made.
    void hiddenMade(Journal& journal) {
        const FileStamp made = stamp();
        endOfRecord();
        Step* step = recordsStep(journal);
        if (step == nullptr) {
            return;
        }
        if (step->kind != Step::Kind::Hidden || step->made) {
            fail("a hidden file was made unannounced");
        }
        step->opened = made;
        step->made = true;
        touched(*step);
    }

    // "r" or "i": a file about to be replaced, and where its old content went.
    void replacement(Journal& journal, char type) {
        Step step{type == 'i' ? Step::Kind::InPlace : Step::Kind::Replace,
                  {},
                  {},
                  {},
                  {},
                  std::nullopt,
                  false,
                  std::nullopt,
                  true,
                  m_lane,
                  0};
        step.old = stamp();
        if (type == 'i') {
            step.opened = step.old;  // the same file, written again
        }
        step.keep = std::string(word());
        if (const std::size_t colon = step.keep.find(':');
            colon != std::string::npos && step.keep[0] == 'p') {
            step.checksum = hexNumber(std::string_view(step.keep).substr(colon + 1));
            step.keep.resize(colon);
        }
        if (step.keep != "-" && step.keep != "=" && !keptName(step.keep)) {
            fail("a kept file has a foreign name");
        }
        if (step.keep[0] == 'l') {
            m_linksBegun.erase(step.keep.substr(1));
        }
        step.path = path();
        add(journal, std::move(step));
    }

    // "w": the file of the step before written.
    void written(Journal& journal) {
        FileStamp left = stamp();
        endOfRecord();
        Step* step = recordsStep(journal);
        if (step == nullptr) {
            return;
        }
        if (step->kind == Step::Kind::Folder || step->kind == Step::Kind::Hidden) {
            fail("a folder has a written file");
        }
        step->left = left;
        if (step->kind == Step::Kind::Replace) {
            step->opened = left;
        }
        touched(*step);
    }

    // "L": a link of a file about to be replaced, begun.
    void linkBegun() {
        std::string name(word());
        endOfRecord();
        if (!keptName("l" + name)) {
            fail("a kept file has a foreign name");
        }
        m_linksBegun.insert(std::move(name));
    }

    // "lN", "lkL/N" or "pN": digits, and for a link of lane L its folder "kL" before them.
    static bool keptName(std::string_view keep) {
        const auto digits = [](std::string_view text) {
            return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
        };
        if (keep.size() < 2 || (keep[0] != 'l' && keep[0] != 'p')) {
            return false;
        }
        const std::size_t slash = keep.find('/');
        if (keep[0] == 'l' && keep[1] == 'k' && slash != std::string_view::npos) {
            return digits(keep.substr(2, slash - 2)) && digits(keep.substr(slash + 1));
        }
        return digits(keep.substr(1));
    }

    [[noreturn]] void fail(const std::string& why) {
        throw JournalError("the journal is damaged or foreign: " + why + " (at byte " +
                           std::to_string(m_at) + ")");
    }

    void add(Journal& journal, Step&& step) {
        if (m_count != 0) {
            // Reading a block: a step after it ends its lane's records there.
            startsStep();
            if (m_next > m_first + m_count) {
                m_closed.push_back(step.lane);
                return;
            }
            step.number = m_next - 1;
        }
        if (m_lastOnly) {
            // Of the lane's steps before, only its last hidden file stays, and only until the
            // lane makes another.
            const bool hidden = step.kind == Step::Kind::Hidden;
            std::erase_if(journal.steps, [&](const Step& before) {
                const bool gone =
                    before.lane == step.lane && (before.kind != Step::Kind::Hidden || hidden);
                if (gone) {
                    finished(before);
                }
                return gone;
            });
        }
        if (m_count == 0) {
            step.number = m_added++;
        }
        if (m_index != nullptr && m_count == 0) {
            if ((static_cast<std::uint64_t>(m_recordStart) >> kLaneShift) != 0) {
                fail("it is too long");
            }
            m_index->starts.push_back(static_cast<std::uint64_t>(m_recordStart) |
                                      std::uint64_t{step.lane} << kLaneShift);
            if (step.number % m_index->block == 0) {
                m_index->blockEnds.push_back(0);
            }
        }
        journal.steps.push_back(std::move(step));
        touched(journal.steps.back());
    }

    // Reading a block: whether the record at m_recordStart begins a step (the next the index
    // names), counted when it does.
    bool startsStep() {
        if (m_counted == m_recordStart) {
            return true;
        }
        if (m_next < m_index->starts.size() &&
            (m_index->starts[m_next] & kStartMask) == m_recordStart) {
            ++m_next;
            m_counted = m_recordStart;
            return true;
        }
        return false;
    }

    // The step a record after its first belongs to: the last of its lane. Reading a block, none
    // for a lane whose step lies before the block or after it.
    Step* recordsStep(Journal& journal) {
        if (m_count == 0) {
            return &lastStep(journal);
        }
        if (std::find(m_closed.begin(), m_closed.end(), m_lane) != m_closed.end()) {
            return nullptr;
        }
        return laneStep(journal);
    }

    // In the pass: the step's block ends no earlier than this record.
    void touched(const Step& step) {
        if (m_index != nullptr && m_count == 0) {
            std::size_t& end = m_index->blockEnds[step.number / m_index->block];
            end = std::max(end, m_at);
        }
    }

    // In the pass: a step whose records all went by.
    void finished(const Step& step) {
        if (m_index != nullptr && m_count == 0 && step.kind == Step::Kind::Folder &&
            !step.withdrawn) {
            m_index->folders[step.path] = step.opened.identity;
        }
    }

    // The last step of the current lane. Steps of other lanes in flight lie between a step
    // and its later records, a few at most: the search back is short.
    Step* laneStep(Journal& journal) {
        for (auto it = journal.steps.rbegin(); it != journal.steps.rend(); ++it) {
            if (it->lane == m_lane) {
                return &*it;
            }
        }
        return nullptr;
    }

    Step& lastStep(Journal& journal) {
        Step* step = laneStep(journal);
        if (step == nullptr) {
            fail("a record names no step");
        }
        return *step;
    }

    void expect(char c) {
        if (m_at >= m_text.size() || m_text[m_at] != c) {
            fail("a record is cut short");
        }
        ++m_at;
    }

    // A field up to a blank or the end of the line; the separator is taken too.
    std::string_view word() {
        std::size_t end = m_text.find_first_of(" \n", m_at);
        if (end == std::string_view::npos || end == m_at) {
            fail("a record is cut short");
        }
        const std::string_view out = m_text.substr(m_at, end - m_at);
        m_at = end + 1;
        return out;
    }

    std::uint64_t hexNumber(std::string_view text) {
        std::uint64_t value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
        if (text.size() != 16 || ec != std::errc() || end != text.data() + text.size()) {
            fail("a checksum is not a checksum");
        }
        return value;
    }

    template <typename T>
    T number() {
        const std::string_view text = word();
        T value{};
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size()) {
            fail("a number is not a number");
        }
        return value;
    }

    FileStamp stamp() {
        FileStamp s;
        s.identity.device = number<std::uint64_t>();
        s.identity.inode = number<std::uint64_t>();
        s.size = number<std::uint64_t>();
        s.mtimeSec = number<std::int64_t>();
        s.mtimeNsec = number<std::int64_t>();
        s.mode = number<std::uint32_t>();
        return s;
    }

    std::string path() {
        const auto length = number<std::size_t>();
        if (length == 0 || length > m_text.size() - m_at || m_at + length >= m_text.size() ||
            m_text[m_at + length] != '\n') {
            fail("a path is cut short");
        }
        std::string out(m_text.substr(m_at, length));
        if (out.find('\0') != std::string::npos) {
            fail("a path holds a NUL byte");
        }
        m_at += length + 1;
        return out;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    std::size_t m_recordStart = 0;
    bool m_lastOnly = false;
    unsigned m_lane = 0;
    // Links begun ("L") that no replacement has claimed yet.
    std::unordered_set<std::string> m_linksBegun;
    StepIndex* m_index = nullptr;
    std::function<void(std::size_t)> m_release;
    std::size_t m_released = 0;
    // Reading a block: its first step, how many, the next step the index names, and the lanes
    // whose later records belong to steps after the block.
    std::size_t m_first = 0;
    std::size_t m_count = 0;
    std::size_t m_next = 0;
    std::size_t m_counted = SIZE_MAX;  // the record startsStep counted last
    std::size_t m_added = 0;
    std::vector<unsigned> m_closed;
};

std::string readWhole(int fd) {
    std::string text;
    if (struct stat st{}; ::fstat(fd, &st) == 0 && st.st_size > 0) {
        text.reserve(static_cast<std::size_t>(st.st_size));
    }
    if (const int err = ReadToEnd(fd, text); err != 0) {
        throw JournalError(std::string("the journal cannot be read: ") + ErrnoText(err));
    }
    return text;
}

}  // namespace

Journal ReadJournal(int fd) {
    return Parser(readWhole(fd)).parse();
}

Journal ReadJournalEnd(int fd) {
    return Parser(readWhole(fd), true).parse();
}

JournalReader::JournalReader(int fd, std::size_t blockSize) : m_blockSize(blockSize) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        m_map.size = static_cast<std::size_t>(st.st_size);
        m_map.at = ::mmap(nullptr, m_map.size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (m_map.at == MAP_FAILED) {
            m_map.at = nullptr;
        }
    }
    if (m_map.at != nullptr) {
        m_text = std::string_view(static_cast<const char*>(m_map.at), m_map.size);
    } else {
        m_read = readWhole(fd);
        m_text = m_read;
    }
    StepIndex index{m_blockSize, m_starts, m_blockEnds, m_folders};
    Journal ends = Parser(m_text, index, [this](std::size_t upTo) { release(0, upTo); }).parse();
    release(0, m_text.size());
    m_complete = ends.complete;
    m_partial = ends.partial;
    m_unclaimedLinks = std::move(ends.unclaimedLinks);
    for (const Step* step : LastHiddenFiles(ends)) {
        m_lastHidden.push_back(step->number);
    }
}

JournalReader::Mapping::~Mapping() {
    if (at != nullptr) {
        ::munmap(at, size);
    }
}

std::vector<Step> JournalReader::block(std::size_t block) {
    const std::size_t first = block * m_blockSize;
    if (first >= m_starts.size()) {
        return {};
    }
    const std::size_t count = std::min(m_blockSize, m_starts.size() - first);
    StepIndex index{m_blockSize, m_starts, m_blockEnds, m_folders};
    Journal part = Parser(m_text, index, first, count, m_blockEnds[block]).parse();
    release(static_cast<std::size_t>(m_starts[first] & kStartMask), m_blockEnds[block]);
    return std::move(part.steps);
}

void JournalReader::release(std::size_t from, std::size_t to) {
    if (m_map.at == nullptr) {
        return;
    }
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    from -= from % page;
    to -= to % page;
    if (to > from) {
        ::madvise(static_cast<char*>(m_map.at) + from, to - from, MADV_DONTNEED);
    }
}

std::string FirstPathIn(std::string_view head) {
    // Each record's fields before its path: none for an announcement, a stamp (six numbers)
    // for a confirmation, a stamp and where the old content went for a replacement.
    const auto wordsBefore = [](char type) {
        return type == 'd' || type == 'n' ? 6 : type == 'r' || type == 'i' ? 7 : 0;
    };
    std::string folder;
    std::size_t at = head.find('\n');
    while (at != std::string_view::npos && at + 2 < head.size() && head[at + 1] != '\0') {
        const char type = head[at + 1];
        std::size_t field = at + 3;
        if (std::string_view("DNHsdnri").find(type) == std::string_view::npos) {
            at = head.find('\n', at + 1);  // "t", "x", "h", "w", "e": no path
            continue;
        }
        // An announcement may tell its time first ("@T ").
        const int words = wordsBefore(type) + (field < head.size() && head[field] == '@' ? 1 : 0);
        for (int i = 0; i < words && field != std::string_view::npos; ++i) {
            field = head.find(' ', field);
            field = field == std::string_view::npos ? field : field + 1;
        }
        std::size_t length = 0;
        const auto [end, ec] =
            field == std::string_view::npos
                ? std::from_chars_result{nullptr, std::errc::invalid_argument}
                : std::from_chars(head.data() + field, head.data() + head.size(), length);
        const auto begin = static_cast<std::size_t>(end - head.data()) + 1;
        if (ec != std::errc() || begin + length >= head.size() || *end != ' ') {
            break;  // cut short: what was found so far
        }
        const std::string_view path = head.substr(begin, length);
        if (type == 'N' || type == 'n' || type == 'r' || type == 'i') {
            return std::string(path);
        }
        if (folder.empty() && (type == 'D' || type == 'd')) {
            folder.assign(path);
        }
        at = begin + length;
    }
    return folder;
}

std::string ErrnoText(int err) {
    return std::strerror(err);
}

std::vector<std::string> RunNames(int runsFd) {
    std::vector<std::string> names;
    // Listed through a descriptor of its own: closedir closes it, and the caller's stays.
    const int listed = ::openat(runsFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed)) {
        while (const struct dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    } else if (listed >= 0) {
        ::close(listed);
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// Removes the files of the folder open as `folderFd` (closed here); answers the names of lanes'
// folders of kept files met in it, removed only by the caller. Nothing is followed: a link in it
// is removed as a link.
std::vector<std::string> removeFilesOf(int folderFd, const RemovalPause& pause) {
    std::vector<std::string> lanes;
    if (DIR* dir = ::fdopendir(folderFd)) {
        std::size_t removed = 0;
        while (const struct dirent* entry = ::readdir(dir)) {
            if (pause && ++removed % 256 == 0) {
                pause();
            }
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
                ::unlinkat(::dirfd(dir), entry->d_name, 0) != 0 && errno == EISDIR &&
                entry->d_name[0] == 'k') {
                lanes.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    } else {
        ::close(folderFd);
    }
    return lanes;
}

}  // namespace

void RemoveRunFolder(int runsFd, const std::string& name, const RemovalPause& pause) {
    // Only a folder of the user's alone, opened without following a link: a link or another's
    // folder in the runs folder is left as it is, never followed into what it names.
    std::string why;
    const Fd run = OpenTrustedFolder(runsFd, name, name, why);
    if (run.get() < 0) {
        return;
    }
    // A run that replaced files keeps a link per file, spread over its lanes' folders (and
    // nothing deeper). The folders are emptied side by side: removals in one folder wait for
    // each other, and on a network file system each is a round trip, so one after the other
    // a run of 2,000 replaced files took seconds to remove.
    const int runFd = run.get();
    std::vector<std::string> lanes = removeFilesOf(::dup(runFd), pause);
    constexpr std::size_t kRemovers = 32;
    std::atomic<std::size_t> next{0};
    const auto remover = [&] {
        for (std::size_t i = next++; i < lanes.size(); i = next++) {
            const int lane =
                ::openat(runFd, lanes[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (lane >= 0) {
                removeFilesOf(lane, pause);
                ::unlinkat(runFd, lanes[i].c_str(), AT_REMOVEDIR);
            }
        }
    };
    std::vector<std::thread> removers;
    for (std::size_t i = 1; i < std::min(lanes.size(), kRemovers); ++i) {
        try {
            removers.emplace_back(remover);
        } catch (const std::system_error&) {
            break;  // no more threads: the ones there (and this one) do the rest
        }
    }
    remover();
    for (std::thread& t : removers) {
        t.join();
    }
    ::unlinkat(runsFd, name.c_str(), AT_REMOVEDIR);
}

bool SetRunAside(int runsFd, const std::string& name) {
    // Only a run's folder of the user's alone: anything else keeps its name, and its place.
    struct stat st {};
    if (::fstatat(runsFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
        !Distrust(EntryStatOf(st), name).empty()) {
        return false;
    }
    const std::string aside = std::string(kDroppedPrefix) + name;
    return ::renameat(runsFd, name.c_str(), runsFd, aside.c_str()) == 0;
}

std::vector<std::string> RunsSetAside(int runsFd) {
    std::vector<std::string> aside;
    const int listed = ::openat(runsFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed)) {
        while (const struct dirent* entry = ::readdir(dir)) {
            if (std::string_view(entry->d_name).starts_with(kDroppedPrefix)) {
                aside.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    } else if (listed >= 0) {
        ::close(listed);
    }
    return aside;
}

void RemoveRunsSetAside(int runsFd, const RemovalPause& pause) {
    for (const std::string& name : RunsSetAside(runsFd)) {
        if (pause) {
            pause();
        }
        RemoveRunFolder(runsFd, name, pause);
    }
}

std::int64_t MadeNotBefore(std::string_view runName) {
    // "YYYYmmdd-HHMMSS.NNNNNNNNN-PID", in UTC.
    constexpr std::int64_t kNever = INT64_MAX;
    struct tm utc {};
    long nanoseconds = -1;
    const std::string name(runName.substr(0, 64));
    int used = 0;
    if (std::sscanf(name.c_str(), "%4d%2d%2d-%2d%2d%2d.%9ld%n", &utc.tm_year, &utc.tm_mon,
                    &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &nanoseconds,
                    &used) != 7 ||
        used != 25 || nanoseconds < 0) {
        return kNever;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    const std::time_t seconds = ::timegm(&utc);
    if (seconds == static_cast<std::time_t>(-1)) {
        return kNever;
    }
    return static_cast<std::int64_t>(seconds) * 1'000'000'000 + nanoseconds - kStampLagNs;
}

bool StillAsMade(const EntryStat& now, const std::optional<FileStamp>& made,
                 std::int64_t notBefore) {
    if (made) {
        return now.stamp.identity == made->identity;
    }
    return (now.kind == EntryStat::Kind::Folder ||
            (now.kind == EntryStat::Kind::File && now.stamp.size == 0)) &&
           now.owner == ::geteuid() && now.changedNs >= notBefore;
}

bool StillAsMade(const struct stat& now, const std::optional<FileStamp>& made,
                 std::int64_t notBefore) {
    return StillAsMade(EntryStatOf(now), made, notBefore);
}

bool StartedOnly(int fd) {
    char text[64] = {};
    const ssize_t got = ::pread(fd, text, sizeof text, 0);
    if (got < 0) {
        return false;
    }
    const std::string_view head(text, ::strnlen(text, static_cast<std::size_t>(got)));
    if (head.size() < kHeader.size()) {
        return kHeader.substr(0, head.size()) == head ||
               kHeaderVersion2.substr(0, head.size()) == head;
    }
    return (head == kHeader || head == kHeaderVersion2) && !InUse(fd);
}

bool StarterGone(const std::string& name) {
    const std::size_t dash = name.rfind('-');
    long pid = 0;
    const auto [end, ec] = std::from_chars(name.data() + dash + 1, name.data() + name.size(), pid);
    return dash != std::string::npos && ec == std::errc() && end == name.data() + name.size() &&
           pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void LockForUndo(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        throw JournalError(errno == EWOULDBLOCK
                               ? "a run is still writing this journal"
                               : "the journal cannot be locked: " + ErrnoText(errno));
    }
}

bool InUse(int fd) {
    return ::flock(fd, LOCK_SH | LOCK_NB) != 0;
}

std::vector<const Step*> LastHiddenFiles(const Journal& journal) {
    std::vector<const Step*> left;
    std::vector<unsigned> lanesSeen;
    for (auto it = journal.steps.rbegin(); it != journal.steps.rend(); ++it) {
        if (it->kind != Step::Kind::Hidden ||
            std::find(lanesSeen.begin(), lanesSeen.end(), it->lane) != lanesSeen.end()) {
            continue;
        }
        lanesSeen.push_back(it->lane);
        if (!it->withdrawn) {
            left.push_back(&*it);
        }
    }
    return left;
}

std::vector<LeftHiddenFile> LeftHiddenFilesOf(int runsFd, const std::string& name) {
    // Only a journal the user alone can have written vouches for a file to remove.
    std::string why;
    const Fd run = OpenTrustedFolder(runsFd, name, name, why);
    const int fd = run.get() < 0 ? -1
                                 : ::openat(run.get(), kJournalName,
                                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::vector<LeftHiddenFile> left;
    struct stat st {};
    char last = '\n';
    // A run that closed its journal cut it to its records; a killed one leaves the NULs of the
    // space it had reserved. A run still writing holds its lock.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && Distrust(EntryStatOf(st), name).empty() &&
        st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last == '\0' &&
        ::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        try {
            const Journal journal = ReadJournalEnd(fd);
            for (const Step* step : LastHiddenFiles(journal)) {
                left.push_back(LeftHiddenFile{
                    step->path, step->made ? std::optional<FileStamp>(step->opened) : std::nullopt,
                    MadeNotBefore(name)});
            }
        } catch (const JournalError&) {
            // A damaged journal vouches for no file.
        }
    }
    ::close(fd);
    return left;
}

std::vector<LeftHiddenFile> HiddenFilesOfEndedRuns(int runsFd, std::string_view exceptRun) {
    std::vector<LeftHiddenFile> left;
    for (const std::string& name : RunNames(runsFd)) {
        if (name != exceptRun) {
            for (LeftHiddenFile& file : LeftHiddenFilesOf(runsFd, name)) {
                left.push_back(std::move(file));
            }
        }
    }
    return left;
}

struct RunningChecksum::State {
    XXH3_state_t xxh;
};

RunningChecksum::RunningChecksum() : m_state(std::make_unique<State>()) {
    XXH3_64bits_reset(&m_state->xxh);
}

RunningChecksum::~RunningChecksum() = default;

void RunningChecksum::add(const void* data, std::size_t size) {
    XXH3_64bits_update(&m_state->xxh, data, size);
}

std::uint64_t RunningChecksum::value() const {
    return XXH3_64bits_digest(&m_state->xxh);
}

int ChecksumRange(int fd, off_t at, std::uint64_t length, std::uint64_t& sum) {
    // Most files are small: read whole through the stack and summed at once.
    char small[16384];
    if (length <= sizeof small) {
        if (const int err = ReadFully(fd, small, static_cast<std::size_t>(length), at); err != 0) {
            return err;
        }
        sum = XXH3_64bits(small, static_cast<std::size_t>(length));
        return 0;
    }
    const std::size_t bufferSize = kCopyChunk;
    std::unique_ptr<char[]> big(new char[bufferSize]);
    char* buffer = big.get();
    RunningChecksum running;
    while (length > 0) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, bufferSize));
        if (const int err = ReadFully(fd, buffer, chunk, at); err != 0) {
            return err;
        }
        running.add(buffer, chunk);
        at += static_cast<off_t>(chunk);
        length -= chunk;
    }
    sum = running.value();
    return 0;
}

std::uint64_t KeptOnDisk(std::string_view keep, std::uint64_t size, std::uint64_t block) {
    if (keep.starts_with('p')) {
        return size;
    }
    if (!keep.starts_with('l') || block == 0) {
        return 0;
    }
    return (size + block - 1) / block * block;
}

std::string ChecksumText(std::uint64_t sum) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(sum));
    return text;
}

int CopyRange(int from, off_t* fromAt, int to, off_t* toAt, std::uint64_t length, bool& plain) {
    // Small files, most of them, are copied through the stack; a big one through one buffer,
    // never filled with zeros first.
    char small[16384];
    std::unique_ptr<char[]> big;
    char* buffer = small;
    if (length > sizeof small) {
        big.reset(new char[static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk))]);
        buffer = big.get();
    }
    const std::uint64_t bufferSize = length > sizeof small ? kCopyChunk : sizeof small;
    while (length > 0) {
        const std::size_t chunk = static_cast<std::size_t>(
            std::min<std::uint64_t>(length, plain ? bufferSize : kCopyChunk));
        ssize_t moved = -1;
        if (!plain) {
            moved = ::copy_file_range(from, fromAt, to, toAt, chunk, 0);
            if (moved < 0 &&
                (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                plain = true;
                continue;
            }
        } else {
            moved = ::pread(from, buffer, chunk, *fromAt);
            if (moved > 0) {
                if (const int err = WriteFully(
                        to, std::string_view(buffer, static_cast<std::size_t>(moved)), *toAt);
                    err != 0) {
                    return err;
                }
                *fromAt += moved;
                *toAt += moved;
            }
        }
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0) {
            return errno;
        }
        if (moved == 0) {
            return EIO;
        }
        length -= static_cast<std::uint64_t>(moved);
    }
    return 0;
}

}  // namespace pellatrix::journal
