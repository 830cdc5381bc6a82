#include "engine/RunJournal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <unordered_set>

#include "engine/HomePath.h"

namespace pellatrix {

namespace {

constexpr std::string_view kHeader = "pellatrix-journal 2\n";
constexpr const char* kJournalName = "journal";
constexpr const char* kUndoneName = "undone";
// Small at first: most runs are small, and a process under a file-size limit still keeps one.
constexpr std::size_t kFirstWindow = std::size_t{4} << 10;
constexpr std::size_t kWindow = std::size_t{1} << 20;
// Files the run made, remembered to tell a file it replaces again from one it found: a bounded
// table, where forgetting one only costs keeping its content once more.
constexpr std::size_t kMadeTable = std::size_t{1} << 14;
constexpr std::size_t kCopyChunk = std::size_t{1} << 20;

std::string errnoText(int err) {
    return std::strerror(err);
}

// Every file of a run folder, then the folder itself.
void removeRunFolder(const std::string& folder) {
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const struct dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                ::unlinkat(::dirfd(dir), entry->d_name, 0);
            }
        }
        ::closedir(dir);
    }
    ::rmdir(folder.c_str());
}

// Names of the run folders, oldest first (the names begin with the start time).
std::vector<std::string> runNames(const std::string& runsFolder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(runsFolder.c_str())) {
        while (const struct dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// True when a run is still writing the journal of `folder`.
bool runIsBusy(const std::string& folder) {
    int fd = ::open((folder + "/" + kJournalName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool busy = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return busy;
}

bool makeFolders(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') {
            std::string level = path.substr(0, at);
            if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Each number is followed by a blank.
template <typename Number>
char* putNumber(char* at, Number value) {
    at = std::to_chars(at, at + 20, value).ptr;
    *at = ' ';
    return at + 1;
}

void appendNumber(std::string& out, std::uint64_t value) {
    char digits[24];
    out.append(digits, putNumber(digits, value));
}

void appendStamp(std::string& out, const FileStamp& s) {
    // Put together in place and appended once: a record per file of a run.
    char text[6 * 24];
    char* at = putNumber(text, s.device);
    at = putNumber(at, s.inode);
    at = putNumber(at, s.size);
    at = putNumber(at, s.mtimeSec);
    at = putNumber(at, s.mtimeNsec);
    at = putNumber(at, s.mode);
    out.append(text, at);
}

void appendPath(std::string& out, std::string_view path) {
    appendNumber(out, path.size());
    out.append(path);
    out += '\n';
}

FileStamp stampOf(const struct stat& st) {
    return {
        static_cast<std::uint64_t>(st.st_dev),         static_cast<std::uint64_t>(st.st_ino),
        static_cast<std::uint64_t>(st.st_size),        static_cast<std::int64_t>(st.st_mtim.tv_sec),
        static_cast<std::int64_t>(st.st_mtim.tv_nsec), static_cast<std::uint32_t>(st.st_mode)};
}

// Copies `length` bytes from `from` at `*fromAt` to `to` at `*toAt` (each offset moved on);
// answers 0, errno, or EIO when `from` ends early.
// `plain` is set once copy_file_range cannot serve the two files, and then used for the next
// copies of the same two file systems too.
int copyRange(int from, off_t* fromAt, int to, off_t* toAt, std::uint64_t length, bool& plain) {
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
                ssize_t put = ::pwrite(to, buffer, static_cast<std::size_t>(moved), *toAt);
                if (put != moved) {
                    return put < 0 ? errno : EIO;
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

}  // namespace

std::string RunsFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/pellatrix/runs";
    }
    const std::string home = UserHomeFolder();
    if (home.empty()) {
        return {};
    }
    return home + "/.local/state/pellatrix/runs";
}

RunJournal::~RunJournal() {
    close();
}

void RunJournal::close() {
    if (m_packFd >= 0) {
        ::close(m_packFd);
        m_packFd = -1;
    }
    if (m_folderFd >= 0) {
        ::close(m_folderFd);
        m_folderFd = -1;
    }
    if (m_map != nullptr) {
        ::munmap(m_map, m_mapped);
        m_map = nullptr;
    }
    if (m_fd >= 0) {
        // The unused tail of the last reservation goes; the lock goes with the descriptor.
        [[maybe_unused]] int ignored = ::ftruncate(m_fd, static_cast<off_t>(m_used));
        ::close(m_fd);
        m_fd = -1;
    }
    m_working = false;
}

bool RunJournal::start(const std::string& runsFolder) {
    if (runsFolder.empty()) {
        m_problem = "no folder is known to keep its journal in (HOME is not set)";
        return false;
    }
    if (!makeFolders(runsFolder)) {
        m_problem = "its journal cannot be kept in " + runsFolder + ": " + errnoText(errno);
        return false;
    }
    m_runsFolder = runsFolder;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc {};
    ::gmtime_r(&now.tv_sec, &utc);
    char stamp[64];
    std::size_t length = std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    std::snprintf(stamp + length, sizeof stamp - length, ".%09ld-%ld", now.tv_nsec,
                  static_cast<long>(::getpid()));
    m_folder = runsFolder + "/" + stamp;
    if (::mkdir(m_folder.c_str(), 0700) != 0) {
        m_problem = "its journal cannot be kept in " + runsFolder + ": " + errnoText(errno);
        m_folder.clear();
        return false;
    }
    m_folderFd = ::open(m_folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    m_fd = m_folderFd < 0
               ? -1
               : ::openat(m_folderFd, kJournalName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_fd < 0 || ::flock(m_fd, LOCK_EX | LOCK_NB) != 0 || !grow(kHeader.size())) {
        if (m_problem.empty()) {
            m_problem = "its journal cannot be kept in " + runsFolder + ": " + errnoText(errno);
        }
        close();
        removeRunFolder(m_folder);
        m_folder.clear();
        return false;
    }
    m_working = true;
    append(kHeader);
    return m_working;
}

bool RunJournal::grow(std::size_t needed) {
    // A window of the file is mapped, moved on as records fill it: the journal of a million
    // files costs its window in memory, not its size.
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t start = m_used / page * page;
    std::size_t size = m_map == nullptr ? kFirstWindow : kWindow;
    size = std::max(size, (m_used - start + needed + page - 1) / page * page);
    // Reserved before it is mapped: a store into the mapping then never meets a full disk.
    int err = ::posix_fallocate(m_fd, static_cast<off_t>(start), static_cast<off_t>(size));
    if (err != 0) {
        m_problem = "no space for its journal in " + m_folder + ": " + errnoText(err);
        return false;
    }
    void* map =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, static_cast<off_t>(start));
    if (map == MAP_FAILED) {
        m_problem = "its journal in " + m_folder + " cannot grow: " + errnoText(errno);
        return false;
    }
    // Made writable at once: one call instead of a write fault per page (older kernels
    // without it fault page by page).
    ::madvise(map, size, MADV_POPULATE_WRITE);
    if (m_map != nullptr) {
        ::munmap(m_map, m_mapped);
    }
    m_map = static_cast<char*>(map);
    m_mapStart = start;
    m_mapped = size;
    return true;
}

void RunJournal::stop(const std::string& why) {
    if (m_problem.empty()) {
        m_problem = why;
    }
    // Said in the journal too, where room is left, so an undo tells that the later steps of
    // the run are not in it.
    std::string record = "s ";
    appendPath(record, m_problem);
    if (m_map != nullptr && m_used + record.size() <= m_mapStart + m_mapped) {
        store(record);
    }
    m_working = false;
}

void RunJournal::append(std::string_view record) {
    if (!m_working) {
        return;
    }
    // Room is kept for the closing record of a journal that stops.
    constexpr std::size_t kReserve = 512;
    if (m_used + record.size() + kReserve > m_mapStart + m_mapped &&
        !grow(record.size() + kReserve)) {
        stop(m_problem);
        return;
    }
    store(record);
}

void RunJournal::store(std::string_view record) {
    // The type byte goes in last: a record that a kill cut short still begins with the NUL
    // of the reserved space, where a reader stops.
    char* at = m_map + (m_used - m_mapStart);
    std::memcpy(at + 1, record.data() + 1, record.size() - 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_release);
    at[0] = record[0];
    m_used += record.size();
}

void RunJournal::finish() {
    if (m_fd < 0) {
        return;
    }
    if (m_working) {
        append("e\n");
    }
    const bool changed = m_changes != 0;
    close();
    if (!changed) {
        removeRunFolder(m_folder);
        m_folder.clear();
        return;
    }
    // The oldest runs beyond the kept number go; one still writing its journal stays.
    std::vector<std::string> names = runNames(m_runsFolder);
    for (std::size_t i = 0; i + kRunsKept < names.size(); ++i) {
        const std::string old = m_runsFolder + "/" + names[i];
        if (!runIsBusy(old)) {
            removeRunFolder(old);
        }
    }
}

void RunJournal::folderCreated(const std::string& path, const FileStamp& folder) {
    if (!m_working) {
        return;
    }
    ++m_changes;
    m_record.assign("d ");
    appendStamp(m_record, folder);
    std::string_view bare = path;
    while (bare.size() > 1 && bare.back() == '/') {
        bare.remove_suffix(1);
    }
    appendPath(m_record, bare);
    append(m_record);
}

std::size_t RunJournal::madeSlot(const FileStamp& file) {
    if (m_made.empty()) {
        m_made.resize(kMadeTable);
    }
    return static_cast<std::size_t>((file.inode * 0x9e3779b97f4a7c15ULL) ^ file.device) %
           kMadeTable;
}

void RunJournal::rememberMade(const FileStamp& file) {
    m_made[madeSlot(file)] = {file.device, file.inode};
}

bool RunJournal::madeByRun(const FileStamp& file) {
    const FileIdentity& known = m_made[madeSlot(file)];
    return known.inode == file.inode && known.device == file.device && file.inode != 0;
}

void RunJournal::newFileOpened(const std::string& path, const FileStamp& file) {
    if (!m_working) {
        return;
    }
    ++m_changes;
    m_record.assign("n ");
    appendStamp(m_record, file);
    appendPath(m_record, path);
    append(m_record);
}

std::string RunJournal::keepOldContent(const FileStamp& old, bool inPlace, int dir,
                                       const char* name) {
    // A rename leaves the old file whole: another name for it keeps it at no cost. Content
    // written in place is gone once written, so it is copied; so is a file on another file
    // system, asked once per device.
    bool linkFailed = false;
    if (!inPlace && old.device != m_noLinkDevice) {
        char keptName[24];
        *std::to_chars(keptName, keptName + sizeof keptName - 1, ++m_kept).ptr = '\0';
        // Whatever file the name reaches at this moment is the one the rename takes away, so
        // the link keeps exactly that.
        if (::linkat(dir, name, m_folderFd, keptName, 0) == 0) {
            return std::string("l") + keptName;
        }
        linkFailed = errno == EXDEV;
    }
    if (!inPlace && linkFailed) {
        m_noLinkDevice = old.device;
    }
    if (m_copied + old.size > kCopyLimit) {
        return "-";
    }
    // Copies go one after another into one pack file: no new file per copy.
    if (m_packFd < 0) {
        m_packFd =
            ::open((m_folder + "/pack").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (m_packFd < 0) {
            return "-";
        }
    }
    int from = ::openat(dir, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (from < 0) {
        return "-";
    }
    struct stat st {};
    const auto at = static_cast<off_t>(m_packSize);
    off_t fromAt = 0;
    off_t toAt = at;
    bool plain = old.device == m_plainCopyDevice;
    const bool copied = ::fstat(from, &st) == 0 && st.st_dev == old.device &&
                        st.st_ino == old.inode &&
                        static_cast<std::uint64_t>(st.st_size) == old.size &&
                        copyRange(from, &fromAt, m_packFd, &toAt, old.size, plain) == 0;
    if (plain) {
        m_plainCopyDevice = old.device;
    }
    ::close(from);
    if (!copied) {
        return "-";
    }
    m_packSize += old.size;
    m_copied += old.size;
    return "p" + std::to_string(at);
}

void RunJournal::replacing(const std::string& target, const FileStamp& old, bool inPlace, int dir,
                           const char* name) {
    if (!m_working) {
        return;
    }
    ++m_changes;
    // A file this run made is its own output: only what stood there before the run is kept.
    const std::string keep = madeByRun(old) ? "=" : keepOldContent(old, inPlace, dir, name);
    m_record.assign(inPlace ? "i " : "r ");
    appendStamp(m_record, old);
    m_record += keep;
    m_record += ' ';
    appendPath(m_record, target);
    append(m_record);
}

void RunJournal::written(const FileStamp& file) {
    if (!m_working) {
        return;
    }
    rememberMade(file);
    m_record.assign("w ");
    appendStamp(m_record, file);
    m_record.back() = '\n';
    append(m_record);
}

void RunJournal::withdrawn() {
    append("x\n");
}

// ---------------------------------------------------------------------------------------------
// Reading a journal back.

namespace {

struct Step {
    enum class Kind { Folder, New, Replace, InPlace } kind;
    std::string path;
    FileStamp opened;               // the folder, the new file, or the file renamed over the target
                                    // (known from its written record; none before it)
    FileStamp old;                  // a replaced file as it was
    std::string keep;               // "-", "lN" or "cN"
    std::optional<FileStamp> left;  // the file as the run left it, when its write ended
    bool withdrawn = false;
};

struct Journal {
    std::vector<Step> steps;
    bool complete = false;
    bool partial = false;
};

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    Journal parse() {
        Journal journal;
        if (m_text.substr(0, kHeader.size()) != kHeader) {
            fail("it is not a Pellatrix journal");
        }
        m_at = kHeader.size();
        while (m_at < m_text.size() && m_text[m_at] != '\0') {
            const char type = m_text[m_at];
            if (m_at + 1 >= m_text.size()) {
                fail("it ends inside a record");
            }
            m_at += 1;
            if (type == 'e' || type == 'x') {
                expect('\n');
                if (type == 'e') {
                    journal.complete = true;
                } else {
                    lastStep(journal).withdrawn = true;
                }
                continue;
            }
            expect(' ');
            switch (type) {
                case 'd':
                case 'n': {
                    Step step{type == 'd' ? Step::Kind::Folder : Step::Kind::New,
                              {},
                              stamp(),
                              {},
                              "-",
                              std::nullopt,
                              false};
                    step.path = path();
                    journal.steps.push_back(std::move(step));
                    break;
                }
                case 'r':
                case 'i': {
                    Step step{type == 'i' ? Step::Kind::InPlace : Step::Kind::Replace,
                              {},
                              {},
                              {},
                              {},
                              std::nullopt,
                              false};
                    step.old = stamp();
                    if (type == 'i') {
                        step.opened = step.old;  // the same file, written again
                    }
                    step.keep = word();
                    if (step.keep != "-" && step.keep != "=" &&
                        (step.keep.size() < 2 || (step.keep[0] != 'l' && step.keep[0] != 'p') ||
                         step.keep.find_first_not_of("0123456789", 1) != std::string::npos)) {
                        fail("a kept file has a foreign name");
                    }
                    step.path = path();
                    journal.steps.push_back(std::move(step));
                    break;
                }
                case 'w': {
                    FileStamp left = stamp();
                    if (m_at == 0 || m_text[m_at - 1] != '\n') {
                        fail("a record is cut short");
                    }
                    Step& step = lastStep(journal);
                    if (step.kind == Step::Kind::Folder) {
                        fail("a folder has a written file");
                    }
                    step.left = left;
                    if (step.kind == Step::Kind::Replace) {
                        step.opened = left;
                    }
                    break;
                }
                case 's':
                    path();
                    journal.partial = true;
                    break;
                default:
                    fail("it holds an unknown record");
            }
        }
        return journal;
    }

private:
    [[noreturn]] void fail(const std::string& why) {
        throw JournalError("the journal is damaged or foreign: " + why + " (at byte " +
                           std::to_string(m_at) + ")");
    }

    Step& lastStep(Journal& journal) {
        if (journal.steps.empty()) {
            fail("a record names no step");
        }
        return journal.steps.back();
    }

    void expect(char c) {
        if (m_at >= m_text.size() || m_text[m_at] != c) {
            fail("a record is cut short");
        }
        ++m_at;
    }

    // A field up to a blank or the end of the line; the separator is taken too.
    std::string word() {
        std::size_t end = m_text.find_first_of(" \n", m_at);
        if (end == std::string_view::npos || end == m_at) {
            fail("a record is cut short");
        }
        std::string out(m_text.substr(m_at, end - m_at));
        m_at = end + 1;
        return out;
    }

    template <typename T>
    T number() {
        const std::string text = word();
        T value{};
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size()) {
            fail("a number is not a number");
        }
        return value;
    }

    FileStamp stamp() {
        FileStamp s;
        s.device = number<std::uint64_t>();
        s.inode = number<std::uint64_t>();
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
};

std::string readWhole(int fd) {
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw JournalError(std::string("the journal cannot be read: ") + errnoText(errno));
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

Journal readJournal(int fd) {
    return Parser(readWhole(fd)).parse();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

RunSummary summarise(const std::string& runsFolder, const std::string& name) {
    RunSummary run;
    run.id = name;
    run.folder = runsFolder + "/" + name;
    int fd = ::open((run.folder + "/" + kJournalName).c_str(), O_RDONLY | O_CLOEXEC);
    try {
        if (fd < 0) {
            throw JournalError("the journal cannot be read: " + errnoText(errno));
        }
        const Journal journal = readJournal(fd);
        for (const Step& step : journal.steps) {
            if (step.withdrawn) {
                continue;
            }
            switch (step.kind) {
                case Step::Kind::Folder:
                    ++run.folders;
                    break;
                case Step::Kind::New:
                    ++run.created;
                    break;
                case Step::Kind::Replace:
                case Step::Kind::InPlace:
                    // A file the run wrote again is no file of the user's.
                    run.replaced += step.keep == "=" ? 0 : 1;
                    run.notKept += step.keep == "-" ? 1 : 0;
                    break;
            }
        }
        run.partial = journal.partial;
        run.state = exists(run.folder + "/" + kUndoneName) ? RunSummary::State::Undone
                    : ::flock(fd, LOCK_SH | LOCK_NB) != 0  ? RunSummary::State::Busy
                    : journal.complete                     ? RunSummary::State::Complete
                                                           : RunSummary::State::Killed;
    } catch (const JournalError& e) {
        run.state = RunSummary::State::Damaged;
        run.damage = e.what();
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return run;
}

// The file at `path` is exactly the one the run left: same identity, and, where the run
// finished writing it, the same size and modification time.
bool asLeft(const struct stat& now, const Step& step) {
    if (static_cast<std::uint64_t>(now.st_dev) != step.opened.device ||
        static_cast<std::uint64_t>(now.st_ino) != step.opened.inode) {
        return false;
    }
    if (!step.left) {
        return true;  // the file in progress when the run was killed
    }
    const FileStamp s = stampOf(now);
    return s.size == step.left->size && s.mtimeSec == step.left->mtimeSec &&
           s.mtimeNsec == step.left->mtimeNsec;
}

// Writes the old content kept at `offset` of the pack file back as `target`'s content: beside
// it and renamed over it, or in place for a file written in place. Answers 0 or errno.
int restoreCopy(const std::string& pack, off_t offset, const std::string& target,
                const Step& step) {
    int from = ::open(pack.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0) {
        return errno;
    }
    bool plain = false;
    int err = 0;
    off_t toAt = 0;
    if (step.kind == Step::Kind::InPlace) {
        int to = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
        err = to < 0 ? errno : copyRange(from, &offset, to, &toAt, step.old.size, plain);
        if (to >= 0 && ::close(to) != 0 && err == 0) {
            err = errno;
        }
    } else {
        const std::size_t slash = target.rfind('/');
        const std::string temp =
            target.substr(0, slash + 1) + ".pellatrix-undo-" + std::to_string(::getpid());
        int to = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        err = to < 0 ? errno : copyRange(from, &offset, to, &toAt, step.old.size, plain);
        if (to >= 0 && err == 0 && ::fchmod(to, step.old.mode & 07777) != 0) {
            err = errno;
        }
        if (to >= 0 && ::close(to) != 0 && err == 0) {
            err = errno;
        }
        if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) {
            err = errno;
        }
        if (err != 0 && to >= 0) {
            ::unlink(temp.c_str());
        }
    }
    ::close(from);
    return err;
}

}  // namespace

std::vector<RunSummary> ListRuns(const std::string& runsFolder) {
    std::vector<RunSummary> runs;
    if (runsFolder.empty()) {
        return runs;
    }
    std::vector<std::string> names = runNames(runsFolder);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        runs.push_back(summarise(runsFolder, *it));
    }
    return runs;
}

RunSummary NewestRunToUndo(const std::string& runsFolder) {
    for (RunSummary& run : ListRuns(runsFolder)) {
        if (run.state != RunSummary::State::Undone) {
            return run;
        }
    }
    throw JournalError("there is no run to undo");
}

UndoReport UndoRun(const std::string& runFolder) {
    const std::string journalPath = runFolder + "/" + kJournalName;
    if (exists(runFolder + "/" + kUndoneName)) {
        throw JournalError("this run was undone before");
    }
    int fd = ::open(journalPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw JournalError("the journal cannot be read: " + errnoText(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // Held to the end: a run still writing this journal refuses it, and so does a second undo.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        throw JournalError(errno == EWOULDBLOCK
                               ? "a run is still writing this journal"
                               : "the journal cannot be locked: " + errnoText(errno));
    }
    if (exists(runFolder + "/" + kUndoneName)) {
        throw JournalError("this run was undone before");
    }
    const Journal journal = readJournal(fd);

    UndoReport report;
    // A path left alone once keeps what the run's earlier steps on it did too: each later
    // state rests on it.
    std::unordered_set<std::string> leftPaths;
    // Paths that hold exactly what the run's earlier step on them left, though not as that
    // step recorded it: put back from a copy (a new file), or written again by the run.
    std::unordered_set<std::string> acceptedAsLeft;
    auto leave = [&](const std::string& path, const std::string& why) {
        report.leftAlone.push_back(path + ": " + why);
        leftPaths.insert(path);
    };
    for (auto it = journal.steps.rbegin(); it != journal.steps.rend(); ++it) {
        const Step& step = *it;
        if (step.withdrawn || leftPaths.count(step.path) != 0) {
            continue;
        }
        struct stat now {};
        const bool there = ::lstat(step.path.c_str(), &now) == 0;
        switch (step.kind) {
            case Step::Kind::Folder:
                if (!there || !S_ISDIR(now.st_mode) ||
                    static_cast<std::uint64_t>(now.st_ino) != step.opened.inode ||
                    static_cast<std::uint64_t>(now.st_dev) != step.opened.device) {
                    break;  // gone already, or another folder: nothing of the run is left
                }
                if (::rmdir(step.path.c_str()) == 0) {
                    ++report.foldersRemoved;
                } else {
                    leave(step.path, errno == ENOTEMPTY || errno == EEXIST
                                         ? "folder not empty"
                                         : "folder not removed: " + errnoText(errno));
                }
                break;
            case Step::Kind::New:
                if (!there) {
                    leave(step.path, "no longer there");
                } else if (!S_ISREG(now.st_mode) ||
                           (!asLeft(now, step) && acceptedAsLeft.count(step.path) == 0)) {
                    leave(step.path, "changed since the run");
                } else if (::unlink(step.path.c_str()) == 0) {
                    ++report.removed;
                } else {
                    leave(step.path, "not removed: " + errnoText(errno));
                }
                break;
            case Step::Kind::Replace:
            case Step::Kind::InPlace: {
                if (there && step.kind == Step::Kind::Replace &&
                    static_cast<std::uint64_t>(now.st_dev) == step.old.device &&
                    static_cast<std::uint64_t>(now.st_ino) == step.old.inode) {
                    break;  // never replaced: the old file is still there
                }
                if (!there) {
                    leave(step.path, "no longer there");
                    break;
                }
                if (!S_ISREG(now.st_mode) ||
                    (!asLeft(now, step) && acceptedAsLeft.count(step.path) == 0)) {
                    leave(step.path, "changed since the run");
                    break;
                }
                if (step.keep == "=") {
                    acceptedAsLeft.insert(step.path);  // the earlier step of the run takes it back
                    break;
                }
                if (step.keep == "-") {
                    leave(step.path, "its old content was not kept");
                    break;
                }
                const std::string kept = runFolder + "/" + step.keep.substr(1);
                int err = 0;
                if (step.keep[0] == 'l') {
                    // The old file itself goes back under its name, with its own mode,
                    // owner and times.
                    err = ::rename(kept.c_str(), step.path.c_str()) == 0 ? 0 : errno;
                } else {
                    std::uint64_t offset = 0;
                    const std::string digits = step.keep.substr(1);
                    const auto [end, ec] =
                        std::from_chars(digits.data(), digits.data() + digits.size(), offset);
                    err = ec != std::errc() || offset > static_cast<std::uint64_t>(INT64_MAX)
                              ? EINVAL
                              : restoreCopy(runFolder + "/pack", static_cast<off_t>(offset),
                                            step.path, step);
                    if (err == 0) {
                        acceptedAsLeft.insert(step.path);
                    }
                }
                if (err == 0) {
                    ++report.restored;
                } else {
                    leave(step.path, "old content not put back: " + errnoText(err));
                }
                break;
            }
        }
    }
    if (journal.partial) {
        report.leftAlone.push_back(
            "(the journal of this run stopped part-way; its later files were left as they are)");
    }
    int marker =
        ::open((runFolder + "/" + kUndoneName).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (marker >= 0) {
        ::close(marker);
    }
    return report;
}

}  // namespace pellatrix
