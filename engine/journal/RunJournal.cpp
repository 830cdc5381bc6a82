#include "engine/journal/RunJournal.h"
#include "engine/fs/FullIo.h"

#include <fcntl.h>
#include <linux/falloc.h>
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
#include <stop_token>
#include <system_error>
#include <unordered_set>

#include "engine/journal/JournalFormat.h"
#include "engine/journal/StateFolder.h"
#include "engine/lists/HomePath.h"
#include "engine/lists/ShownText.h"

namespace pellatrix {

using namespace journal;

namespace {

// Small at first: most runs are small, and a process under a file-size limit still keeps one.
constexpr std::size_t kFirstWindow = std::size_t{4} << 10;
constexpr std::size_t kWindow = std::size_t{1} << 20;
// Files the run made, remembered to tell a file it replaces again from one it found: a bounded
// table, where forgetting one only costs keeping its content once more.
constexpr std::size_t kMadeTable = std::size_t{1} << 14;
constexpr std::size_t kResolvedFolders = 4096;

// True when a run is still writing the journal of the run folder `name` in `runsFd`.
bool runIsBusy(int runsFd, const std::string& name) {
    const std::string journal = name + "/" + kJournalName;
    int fd = ::openat(runsFd, journal.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool busy = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return busy;
}

// Makes the missing levels of `path`. A level is made only in a folder of the user's or of
// root's: root's run never leaves folders of its own in a user's home (the user's later runs
// would refuse them), and no user's run in another user's.
bool makeFolders(const std::string& path) {
    struct stat st {};
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') {
            const std::string level = path.substr(0, at);
            if (::stat(level.c_str(), &st) == 0) {
                continue;
            }
            const std::size_t slash = level.rfind('/');
            const std::string above = slash == std::string::npos ? "."
                                      : slash == 0               ? "/"
                                                                 : level.substr(0, slash);
            if (::stat(above.c_str(), &st) == 0 && st.st_uid != ::geteuid() && st.st_uid != 0) {
                errno = EACCES;
                return false;
            }
            if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
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
    char* at = putNumber(text, s.identity.device);
    at = putNumber(at, s.identity.inode);
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

// A folder's path without the separators that may end it, as its records name it.
std::string_view barePath(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path;
}

}  // namespace

bool OldRunsSetAside(const std::string& runsFolder) {
    std::string why;
    const Fd runs = OpenTrustedRunsFolder(runsFolder, why);
    return runs.get() >= 0 && !RunsSetAside(runs.get()).empty();
}

namespace {

// Freeing an old run's kept files takes the disk a run needs: the removal waits while one writes.
void waitWhileARunWrites(int runsFd) {
    for (;;) {
        const std::vector<std::string> names = RunNames(runsFd);
        if (std::none_of(names.begin(), names.end(),
                         [runsFd](const std::string& name) { return runIsBusy(runsFd, name); })) {
            return;
        }
        ::usleep(200 * 1000);
    }
}

}  // namespace

void RemoveOldRuns(const std::string& runsFolder) {
    std::string why;
    const Fd runs = OpenTrustedRunsFolder(runsFolder, why);
    if (runs.get() >= 0) {
        RemoveRunsSetAside(runs.get(), [fd = runs.get()] { waitWhileARunWrites(fd); });
    }
}

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
    m_reserved = 0;
    m_working = false;
}

bool RunJournal::start(const std::string& runsFolder) {
    if (runsFolder.empty()) {
        m_problem = "no folder is known to keep its journal in (HOME is not set)";
        return false;
    }
    if (!makeFolders(runsFolder)) {
        m_problem = "its journal cannot be kept in " + runsFolder + ": " + ErrnoText(errno);
        return false;
    }
    // Checked as the undo checks it, and then used as opened: the run writes and removes only
    // in a runs folder that the user alone can have written, whoever runs it.
    std::string why;
    m_runsFd = OpenTrustedRunsFolder(runsFolder, why);
    if (m_runsFd.get() < 0) {
        m_problem = "its journal cannot be kept: " + why;
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
    m_runName = stamp;
    m_folder = runsFolder + "/" + m_runName;
    if (::mkdirat(m_runsFd.get(), stamp, 0700) != 0) {
        m_problem = "its journal cannot be kept in " + runsFolder + ": " + ErrnoText(errno);
        m_folder.clear();
        return false;
    }
    m_folderFd = ::openat(m_runsFd.get(), stamp, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    m_fd = m_folderFd < 0
               ? -1
               : ::openat(m_folderFd, kJournalName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_fd < 0 || ::flock(m_fd, LOCK_EX | LOCK_NB) != 0 || !grow(kHeader.size())) {
        if (m_problem.empty()) {
            m_problem = "its journal cannot be kept in " + runsFolder + ": " + ErrnoText(errno);
        }
        close();
        RemoveRunFolder(m_runsFd.get(), m_runName);
        m_folder.clear();
        return false;
    }
    if (struct stat st{}; ::fstat(m_fd, &st) == 0) {
        m_blockSize = static_cast<std::uint64_t>(st.st_blksize);
    }
    m_working = true;
    append(kHeader);
    return m_working;
}

int RunJournal::reserve(std::size_t length) {
    if (length <= m_reserved) {
        return 0;
    }
    const auto from = static_cast<off_t>(m_reserved);
    const auto more = static_cast<off_t>(length - m_reserved);
    if (::fallocate(m_fd, 0, from, more) != 0) {
        if (errno != EOPNOTSUPP && errno != ENOSYS) {
            return errno;
        }
        // No reservation here (FUSE, NFS before 4.2): the new part is written with zeros, in a
        // few large writes. A byte per block, as posix_fallocate does it, is a round trip per
        // 4 KiB on a network file system, and every step waits for the journal meanwhile.
        static constexpr char kZeros[std::size_t{128} << 10] = {};
        for (std::size_t at = m_reserved; at < length;) {
            const ssize_t put = ::pwrite(m_fd, kZeros, std::min(sizeof kZeros, length - at),
                                         static_cast<off_t>(at));
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                return put < 0 ? errno : ENOSPC;
            }
            at += static_cast<std::size_t>(put);
        }
    }
    m_reserved = length;
    return 0;
}

bool RunJournal::grow(std::size_t needed) {
    // A window of the file is mapped, moved on as records fill it: the journal of a million
    // files costs its window in memory, not its size.
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t start = m_used / page * page;
    std::size_t size = m_map == nullptr ? kFirstWindow : kWindow;
    size = std::max(size, (m_used - start + needed + page - 1) / page * page);
    // Reserved before it is mapped: a store into the mapping then never meets a full disk.
    int err = reserve(start + size);
    if (err != 0) {
        m_problem = "no space for its journal in " + m_folder + ": " + ErrnoText(err);
        return false;
    }
    void* map =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, static_cast<off_t>(start));
    if (map == MAP_FAILED) {
        m_problem = "its journal in " + m_folder + " cannot grow: " + ErrnoText(errno);
        return false;
    }
    // Made writable at once: one call instead of a write fault per page (older kernels
    // without it fault page by page).
    ::madvise(map, size, MADV_POPULATE_WRITE);
    if (m_map != nullptr) {
        sumStored();
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
    if (m_working && m_tell) {
        m_tell("Only part of this run can be undone: " + m_problem);
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

// One step's entry: each of its records goes to the journal with the lane it holds.
class RunJournal::StepEntry : public WriteJournal::Entry {
public:
    explicit StepEntry(RunJournal& journal) : m_journal(journal), m_lane(journal.takeLane()) {}
    ~StepEntry() override { m_journal.giveLaneBack(m_lane); }
    StepEntry(const StepEntry&) = delete;
    StepEntry& operator=(const StepEntry&) = delete;

    void folderCreated(const std::string& path, const FileStamp& folder) override {
        m_journal.confirmMade(m_lane, 'd', barePath(path), folder);
    }
    void newFileOpened(const std::string& path, const FileStamp& file) override {
        m_journal.confirmMade(m_lane, 'n', path, file);
    }
    void replacing(const std::string& target, const FileStamp& old, bool inPlace, int dir,
                   const char* name) override {
        m_journal.replacing(m_lane, target, old, inPlace, dir, name);
    }
    void written(const FileStamp& file) override { m_journal.written(m_lane, file); }
    void withdrawn() override { m_journal.withdrawn(m_lane); }
    bool keptOldCopy() const override { return m_journal.keptOldCopy(m_lane); }
    bool putBackOld(int fd) override { return m_journal.putBackOld(m_lane, fd); }
    void makingFolder(const std::string& path) override {
        m_journal.announce(m_lane, 'D', barePath(path));
    }
    void makingFile(const std::string& path) override { m_journal.announce(m_lane, 'N', path); }
    void makingHidden(const std::string& path) override { m_journal.announce(m_lane, 'H', path); }
    void hiddenMade(const FileStamp& file) override { m_journal.hiddenMade(m_lane, file); }

private:
    RunJournal& m_journal;
    Lane& m_lane;
};

std::unique_ptr<WriteJournal::Entry> RunJournal::beginStep() {
    return std::make_unique<StepEntry>(*this);
}

RunJournal::Lane& RunJournal::takeLane() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_freeLanes.empty()) {
        Lane& lane = *m_freeLanes.back();
        m_freeLanes.pop_back();
        return lane;
    }
    m_lanes.push_back(std::make_unique<Lane>());
    m_lanes.back()->number = static_cast<unsigned>(m_lanes.size() - 1);
    return *m_lanes.back();
}

void RunJournal::giveLaneBack(Lane& lane) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_freeLanes.push_back(&lane);
}

bool RunJournal::keptOldCopy(const Lane& mine) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return mine.lastCopied;
}

void RunJournal::append(Lane& lane, std::string_view record) {
    if (m_working && lane.number != m_lastLane) {
        char text[32] = "t ";
        char* end = std::to_chars(text + 2, text + sizeof text - 1, lane.number).ptr;
        *end++ = '\n';
        append(std::string_view(text, static_cast<std::size_t>(end - text)));
        m_lastLane = lane.number;
    }
    append(record);
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

void RunJournal::sumStored() {
    if (m_map == nullptr) {
        return;
    }
    m_sum.add(m_map + (m_summed - m_mapStart), m_used - m_summed);
    m_summed = m_used;
}

void RunJournal::finish() {
    if (m_fd < 0) {
        return;
    }
    const bool changed = m_changes != 0;
    if (m_working) {
        append("e\n");
        if (changed) {
            keepCounts();
        }
    }
    close();
    if (!changed) {
        RemoveRunFolder(m_runsFd.get(), m_runName);
        m_folder.clear();
        return;
    }
    // The oldest runs beyond the kept number go, set aside in one rename each and removed now,
    // or later by the front end (removeOldRunsLater); one still writing its journal stays. A hidden
    // file a killed one left goes with its journal, the last record of it, while it is still the
    // file that run made.
    std::vector<std::string> names = RunNames(m_runsFd.get());
    for (std::size_t i = 0; i + kRunsKept < names.size(); ++i) {
        if (!runIsBusy(m_runsFd.get(), names[i])) {
            for (const LeftHiddenFile& left : LeftHiddenFilesOf(m_runsFd.get(), names[i])) {
                struct stat st {};
                if (::lstat(left.path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                    StillAsMade(st, left.made, left.notBefore)) {
                    ::unlink(left.path.c_str());
                }
            }
            SetRunAside(m_runsFd.get(), names[i]);
        }
    }
    // Runs back to back leave the removal no time between them: beyond as many runs again as
    // are kept, a run removes them itself, so the old contents never fill the disk.
    if (!m_removeLater || RunsSetAside(m_runsFd.get()).size() > kRunsKept) {
        RemoveRunsSetAside(m_runsFd.get(), {});
    }
}

void RunJournal::count(Lane& lane, const StepCounts& step) {
    m_counts.created += step.created;
    m_counts.replaced += step.replaced;
    m_counts.folders += step.folders;
    m_counts.notKept += step.notKept;
    m_counts.keptBytes += step.keptBytes;
    lane.lastCounted = step;
}

void RunJournal::keepCounts() {
    // Written whole or not at all: a listing that finds no counts reads the journal instead.
    // The journal's length and checksum go with them, so a journal changed since is read.
    sumStored();
    const std::uint64_t sum = m_sum.value();
    const std::string text =
        std::string(kCountsHeader) + std::to_string(m_counts.created) + ' ' +
        std::to_string(m_counts.replaced) + ' ' + std::to_string(m_counts.folders) + ' ' +
        std::to_string(m_counts.notKept) + ' ' + std::to_string(m_counts.keptBytes) + ' ' +
        std::to_string(m_used) + ' ' + ChecksumText(sum) + '\n';
    const Fd fd(::openat(m_folderFd, ".counts", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() >= 0 &&
        ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
        ::renameat(m_folderFd, ".counts", m_folderFd, kCountsName);
    } else {
        ::unlinkat(m_folderFd, ".counts", 0);
    }
}

void RunJournal::confirmMade(Lane& mine, char type, std::string_view path, const FileStamp& made) {
    const std::string& named = resolved(path, false);
    std::lock_guard<std::mutex> lock(m_lock);
    mine.announced = false;
    forgetLastKept(mine);
    if (!m_working) {
        return;
    }
    ++m_changes;
    count(mine, type == 'd' ? StepCounts{0, 0, 1, 0} : StepCounts{1, 0, 0, 0});
    mine.record.assign(1, type).push_back(' ');
    appendStamp(mine.record, made);
    appendPath(mine.record, named);
    append(mine, mine.record);
}

void RunJournal::announce(Lane& mine, char type, std::string_view path) {
    const std::string& named = resolved(path, false);
    std::lock_guard<std::mutex> lock(m_lock);
    mine.announced = true;
    if (!m_working) {
        return;
    }
    mine.record.assign(1, type);
    mine.record += ' ';
    if (type != 'H') {
        // When: what stands at the name after a kill is the run's only if made just then.
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        mine.record += '@';
        appendNumber(mine.record, static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000U +
                                      static_cast<std::uint64_t>(now.tv_nsec));
    }
    appendPath(mine.record, named);
    append(mine, mine.record);
}

void RunJournal::hiddenMade(Lane& mine, const FileStamp& file) {
    std::lock_guard<std::mutex> lock(m_lock);
    mine.announced = false;
    if (!m_working) {
        return;
    }
    mine.record.assign("h ");
    appendStamp(mine.record, file);
    mine.record.back() = '\n';
    append(mine, mine.record);
}

std::vector<LeftHiddenFile> RunJournal::leftHiddenFiles() {
    if (m_runsFd.get() < 0 || m_folder.empty()) {
        return {};
    }
    return HiddenFilesOfEndedRuns(m_runsFd.get(), m_runName);
}

std::size_t RunJournal::madeSlot(const FileStamp& file) {
    if (m_made.empty()) {
        m_made.resize(kMadeTable);
    }
    return std::hash<FileIdentity>()(file.identity) % kMadeTable;
}

void RunJournal::rememberMade(const FileStamp& file) {
    m_made[madeSlot(file)] = file.identity;
}

bool RunJournal::madeByRun(const FileStamp& file) {
    const FileIdentity& known = m_made[madeSlot(file)];
    return known == file.identity && file.identity.inode != 0;
}

const std::string& RunJournal::resolved(std::string_view path, bool followLast) {
    // The undo reaches each path from the root without following a link: the path as the
    // system resolved it, absolute. One that cannot be resolved stays as it came. Put together
    // in a buffer of the calling thread's own, used again for its next record.
    thread_local std::string out;
    if (followLast) {
        std::unique_ptr<char, decltype(&std::free)> real(
            ::realpath(std::string(path).c_str(), nullptr), &std::free);
        if (real) {
            out = real.get();
            return out;
        }
    }
    const std::size_t slash = path.rfind('/');
    const std::string_view folder = slash == std::string_view::npos ? "."
                                    : slash == 0                    ? "/"
                                                                    : path.substr(0, slash);
    out.clear();
    {
        std::lock_guard<std::mutex> lock(m_resolvedLock);
        if (auto known = m_resolvedFolders.find(folder); known != m_resolvedFolders.end()) {
            out = known->second;
        }
    }
    if (out.empty()) {
        std::string key(folder);
        std::unique_ptr<char, decltype(&std::free)> real(::realpath(key.c_str(), nullptr),
                                                         &std::free);
        if (!real) {
            out.assign(path);  // asked again next time: it may exist then
            return out;
        }
        out = real.get();
        std::lock_guard<std::mutex> lock(m_resolvedLock);
        if (m_resolvedFolders.size() >= kResolvedFolders) {
            m_resolvedFolders.clear();
        }
        m_resolvedFolders.emplace(std::move(key), out);
    }
    if (out.back() != '/') {
        out += '/';
    }
    out.append(path.substr(slash == std::string_view::npos ? 0 : slash + 1));
    return out;
}

std::string RunJournal::keepOldContent(Lane& lane, FileStamp& old, bool inPlace, int dir,
                                       const char* name) {
    // A rename leaves the old file whole: another name for it keeps it at no cost. Content
    // written in place is gone once written, so it is copied; so is a file on another file
    // system, asked once per device.
    if (!inPlace && old.identity.device != m_noLinkDevice.load()) {
        std::string kept;
        if (keepByLink(lane, dir, name, kept)) {
            return "l" + kept;
        }
        if (errno == EXDEV) {
            m_noLinkDevice.store(old.identity.device);
        }
    }
    return keepCopy(lane, old, inPlace, dir, name);
}

bool RunJournal::keepByLink(Lane& lane, int dir, const char* name, std::string& kept) {
    // Lane 0 links into the run's folder; another lane into a folder of its own, made at its
    // first link: links into one folder wait for each other on a network file system.
    if (lane.number != 0) {
        kept = "k" + std::to_string(lane.number);
        if (!lane.keptFolder && ::mkdirat(m_folderFd, kept.c_str(), 0700) != 0 && errno != EEXIST) {
            kept.clear();
        } else {
            lane.keptFolder = true;
            kept += '/';
        }
    }
    kept += std::to_string(m_kept.fetch_add(1) + 1);
    {
        // Written ahead: a kill between the link and its step's record leaves a name the undo
        // knows, and takes away while it is only a second name of the file.
        std::lock_guard<std::mutex> lock(m_lock);
        append(lane, "L " + kept + "\n");
    }
    // Whatever file the name reaches at this moment is the one the rename takes away, so the
    // link keeps exactly that.
    if (::linkat(dir, name, m_folderFd, kept.c_str(), 0) != 0) {
        return false;
    }
    lane.lastLink = kept;
    return true;
}

std::string RunJournal::keepCopy(Lane& lane, FileStamp& old, bool inPlace, int dir,
                                 const char* name) {
    const Fd from(::openat(dir, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (from.get() < 0) {
        lane.notKept = ErrnoText(errno);
        return "-";
    }
    struct stat st {};
    // Another run may have renamed a file over the one looked at: what is copied and recorded
    // is the file the name reaches now, which the rename takes away. Written in place, it is
    // the very file being written, or nothing.
    if (::fstat(from.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != old.identity.device ||
        (inPlace && st.st_ino != old.identity.inode)) {
        lane.notKept = "it changed while it was copied";
        return "-";
    }
    old = StampOf(st);
    std::uint64_t at = 0;
    const int pack = takePackRegion(lane, old.size, at);
    if (pack < 0) {
        return "-";
    }
    off_t fromAt = 0;
    auto toAt = static_cast<off_t>(at);
    bool plain = old.identity.device == m_plainCopyDevice.load();
    const int err = CopyRange(from.get(), &fromAt, pack, &toAt, old.size, plain);
    if (plain) {
        m_plainCopyDevice.store(old.identity.device);
    }
    // Summed as it lies in the pack: the undo puts back only the very bytes kept.
    std::uint64_t sum = 0;
    const int sumErr = err == 0 ? ChecksumRange(pack, static_cast<off_t>(at), old.size, sum) : 0;
    if (err != 0 || sumErr != 0) {
        lane.notKept = ErrnoText(err != 0 ? err : sumErr);
        givePackRegionBack(at, old.size);
        return "-";
    }
    lane.lastCopied = true;
    lane.lastCopyAt = at;
    lane.lastCopySize = old.size;
    return "p" + std::to_string(at) + ":" + ChecksumText(sum);
}

int RunJournal::takePackRegion(Lane& lane, std::uint64_t size, std::uint64_t& at) {
    // Each copy gets its own region of the one pack file (no new file per copy), taken here;
    // the copies themselves go on at once.
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_copied + size > kCopyLimit) {
        lane.notKept =
            "the run's copies reached their limit of " + std::to_string(kCopyLimit >> 20) + " MiB";
        return -1;
    }
    if (m_packFd < 0) {
        m_packFd = ::openat(m_folderFd, "pack", O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (m_packFd < 0) {
            lane.notKept = ErrnoText(errno);
            return -1;
        }
    }
    at = m_packSize;
    m_packSize += size;
    m_copied += size;
    return m_packFd;
}

void RunJournal::givePackRegionBack(std::uint64_t at, std::uint64_t size) {
    // What a copy that failed put into the pack is given back: on a full disk it is the room
    // the next step needs.
    std::lock_guard<std::mutex> lock(m_lock);
    m_copied -= size;
    if (m_packSize == at + size) {
        m_packSize = at;
        [[maybe_unused]] int ignored = ::ftruncate(m_packFd, static_cast<off_t>(at));
    } else {
        ::fallocate(m_packFd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(at),
                    static_cast<off_t>(size));
    }
}

void RunJournal::forgetLastKept(Lane& lane) {
    lane.lastLink.clear();
    lane.lastCopied = false;
    lane.lastWritten = {};
}

bool RunJournal::putBackOld(const Lane& mine, int fd) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!mine.lastCopied || m_packFd < 0) {
        return false;
    }
    const int pack = m_packFd;
    auto from = static_cast<off_t>(mine.lastCopyAt);
    const std::uint64_t size = mine.lastCopySize;
    lock.unlock();
    if (::ftruncate(fd, 0) != 0) {
        return false;
    }
    off_t to = 0;
    bool plain = false;
    return CopyRange(pack, &from, fd, &to, size, plain) == 0;
}

void RunJournal::replacing(Lane& mine, const std::string& target, const FileStamp& old,
                           bool inPlace, int dir, const char* name) {
    // A file written in place may be reached through a link to it.
    const std::string& named = resolved(target, inPlace);
    std::unique_lock<std::mutex> lock(m_lock);
    // Whatever the last step kept is its own: not this step's to take back or put back.
    forgetLastKept(mine);
    if (!m_working) {
        return;
    }
    ++m_changes;
    FileStamp kept = old;
    // A file this run made is its own output: only what stood there before the run is kept.
    const bool own = madeByRun(old);
    lock.unlock();
    mine.notKept.clear();
    const std::string keep = own ? "=" : keepOldContent(mine, kept, inPlace, dir, name);
    lock.lock();
    if (keep == "-" && !m_notKeptTold && m_tell) {
        m_notKeptTold = true;
        m_tell("Only part of this run can be undone: the old content of '" + target +
               "' is not kept (" + mine.notKept + ")");
    }
    // A file the run wrote again is no file of the user's.
    count(mine, own ? StepCounts{}
                    : StepCounts{0, 1, 0, keep == "-" ? 1U : 0U,
                                 KeptOnDisk(keep, kept.size, m_blockSize)});
    mine.record.assign(inPlace ? "i " : "r ");
    appendStamp(mine.record, kept);
    mine.record += keep;
    mine.record += ' ';
    appendPath(mine.record, named);
    append(mine, mine.record);
}

void RunJournal::written(Lane& mine, const FileStamp& file) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_working) {
        return;
    }
    rememberMade(file);
    mine.lastWritten = file;
    mine.record.assign("w ");
    appendStamp(mine.record, file);
    mine.record.back() = '\n';
    append(mine, mine.record);
}

void RunJournal::withdrawn(Lane& mine) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (mine.announced) {
        // Only the making just announced failed: the step before it stands as it is.
        mine.announced = false;
        append(mine, "x\n");
        return;
    }
    // A step taken back leaves no trace: a kept link would stay a second name of the file,
    // and a second name makes the next run write it in place.
    if (!mine.lastLink.empty() && m_folderFd >= 0) {
        ::unlinkat(m_folderFd, mine.lastLink.c_str(), 0);
    }
    // The file it left is gone, or holds its old content again: no file of the run's.
    if (mine.lastWritten.identity.inode != 0 && madeByRun(mine.lastWritten)) {
        m_made[madeSlot(mine.lastWritten)] = {};
    }
    forgetLastKept(mine);
    m_counts.created -= mine.lastCounted.created;
    m_counts.replaced -= mine.lastCounted.replaced;
    m_counts.folders -= mine.lastCounted.folders;
    m_counts.notKept -= mine.lastCounted.notKept;
    m_counts.keptBytes -= mine.lastCounted.keptBytes;
    mine.lastCounted = {};
    // A run whose every step was taken back changed nothing, and leaves no journal.
    if (m_working && m_changes != 0) {
        --m_changes;
    }
    append(mine, "x\n");
}

}  // namespace pellatrix

// ---- Failed lines ----

namespace pellatrix {

namespace {

constexpr std::string_view kFailedHeader = "pellatrix-failed 1 ";
constexpr const char* kFailedName = "failed";
// A failed line at least this long is written into the kept file apart from the rest.
constexpr std::size_t kFailedWrittenApart = std::size_t{1} << 20;
constexpr const char* kFailedNewName = "failed.new";

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat st {};
    // Standard input, a pipe or a device is read once: nothing to read again.
    if (path == "-" || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return StampOf(st);
}

// Cuts the lines of one list as they arrive, as the run cut them (see LineSplitter), and keeps
// the wanted ones with the break that ends each.
class LineCutter {
public:
    LineCutter(const std::string& list, const std::vector<std::uint64_t>& wanted, bool nul,
               std::vector<FailedLine>& out)
        : m_list(list), m_wanted(wanted), m_nul(nul), m_out(out) {}

    void feed(std::string_view chunk) {
        for (const char c : chunk) {
            if (m_afterCr) {
                m_afterCr = false;
                if (c == '\n') {
                    m_lastBreak = "\r\n";
                    if (m_keptLast) {
                        m_out.back().bytes += '\n';
                    }
                    continue;
                }
            }
            if (m_nul ? c == '\0' : c == '\n' || c == '\r') {
                m_afterCr = c == '\r';
                endLine(std::string_view(&c, 1));
            } else {
                m_pending = true;
                if (keeping()) {
                    m_text += c;
                }
            }
        }
    }

    void finish() {
        if (m_pending) {
            endLine(m_lastBreak);
        }
    }

private:
    bool keeping() const { return m_next < m_wanted.size() && m_wanted[m_next] == m_line; }

    void endLine(std::string_view end) {
        m_keptLast = keeping();
        if (m_keptLast) {
            m_out.push_back({m_list, m_line, std::move(m_text)});
            m_out.back().bytes.append(end);
            m_text.clear();
            ++m_next;
        }
        m_lastBreak.assign(end);
        m_pending = false;
        ++m_line;
    }

    const std::string& m_list;
    const std::vector<std::uint64_t>& m_wanted;
    bool m_nul;
    std::vector<FailedLine>& m_out;
    std::uint64_t m_line = 1;
    std::size_t m_next = 0;
    std::string m_text;
    std::string m_lastBreak = "\n";
    bool m_afterCr = false;
    bool m_pending = false;
    bool m_keptLast = false;
};

void appendSized(std::string& out, std::string_view bytes) {
    appendNumber(out, bytes.size());
    out.append(bytes);
}

// Writes `text` into the new file `fd` (closed here) and renames it from `from` to `to` in the
// folder `dirFd`, on the disk first when `sync`; answers 0 or errno, with the new file gone on
// failure.
int writeAndRename(int fd, std::string_view text, int dirFd, const char* from, const char* to,
                   bool sync) {
    int err = WriteFully(fd, text);
    if (err == 0 && sync && ::fsync(fd) != 0) {
        err = errno;
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && ::renameat(dirFd, from, dirFd, to) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlinkat(dirFd, from, 0);
    }
    return err;
}

// The run folder `runFolder`, opened when it and the runs folder above it are trusted.
Fd openRunFolder(const std::string& runFolder, std::string& name, std::string& why) {
    const std::size_t slash = runFolder.rfind('/');
    name = slash == std::string::npos ? runFolder : runFolder.substr(slash + 1);
    const Fd runs = OpenTrustedRunsFolder(
        slash == std::string::npos ? std::string(".") : runFolder.substr(0, slash), why);
    if (runs.get() < 0) {
        return Fd();
    }
    return OpenTrustedFolder(runs.get(), name, "the run's folder " + QuotedShown(runFolder), why);
}

// The kept failed lines of the run folder open as `dirFd`, read whole.
std::string readKeptFailed(int dirFd, const std::string& runFolder) {
    const Fd fd(::openat(dirFd, kFailedName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        throw JournalError(errno == ENOENT
                               ? "its failed lines were not kept (kept by an older version, or "
                                 "they could not be written)"
                               : "its failed lines cannot be read: " + ErrnoText(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw JournalError("its failed lines cannot be read");
    }
    if (std::string why = Distrust(EntryStatOf(st), runFolder + "/" + kFailedName); !why.empty()) {
        throw UntrustedJournal(why);
    }
    std::string text;
    if (const int err = ReadToEnd(fd.get(), text); err != 0) {
        throw JournalError("its failed lines cannot be read: " + ErrnoText(err));
    }
    return text;
}

// Reads "N " at `at` (moved past the blank); false when there is no such number.
bool takeNumber(std::string_view text, std::size_t& at, std::uint64_t& value) {
    const char* begin = text.data() + at;
    const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value);
    if (ec != std::errc() || end == begin || end == text.data() + text.size() || *end != ' ') {
        return false;
    }
    at = static_cast<std::size_t>(end - text.data()) + 1;
    return true;
}

bool takeSized(std::string_view text, std::size_t& at, std::string& out) {
    std::uint64_t length = 0;
    if (!takeNumber(text, at, length) || length >= text.size() - at) {
        return false;
    }
    out.assign(text.substr(at, length));
    at += length;
    return true;
}

// Reads the records of `text` into `kept`; with `headOnly`, up to the first failed line (the
// lists come before them) or where the text is cut.
void parseKeptFailed(std::string_view text, KeptFailures& kept, bool headOnly) {
    const auto damaged = [] { return JournalError("its failed lines are damaged or foreign"); };
    std::uint64_t failures = 0;
    const char* count = text.data() + std::min(kFailedHeader.size(), text.size());
    const auto [end, ec] = std::from_chars(count, text.data() + text.size(), failures);
    if (text.substr(0, kFailedHeader.size()) != kFailedHeader || ec != std::errc() ||
        end == text.data() + text.size() || *end != '\n') {
        throw damaged();
    }
    kept.failures = static_cast<std::size_t>(failures);
    std::size_t at = static_cast<std::size_t>(end - text.data()) + 1;
    while (at < text.size() && !(headOnly && text[at] == 'f')) {
        const std::string_view type = text.substr(at, 2);
        at += 2;
        FailedLine line;
        const bool whole =
            at >= text.size() ? false
            : type == "f "    ? takeNumber(text, at, line.line) && takeSized(text, at, line.list) &&
                                 text[at++] == ' ' && takeSized(text, at, line.bytes)
                           : (type == "u " || type == "l ") && takeSized(text, at, line.list);
        if (!whole || text[at++] != '\n') {
            if (headOnly) {
                return;  // cut by the head's end
            }
            throw damaged();
        }
        if (type == "f ") {
            kept.lines.push_back(std::move(line));
        } else {
            (type == "u " ? kept.unread : kept.lists).push_back(std::move(line.list));
        }
    }
}

}  // namespace

void FailedEntries::add(const std::string& list, std::uint64_t line) {
    if (line == 0) {
        return;
    }
    auto known = std::find_if(m_lists.begin(), m_lists.end(),
                              [&](const List& each) { return each.name == list; });
    if (known == m_lists.end()) {
        m_lists.push_back({list, {}, stampOf(list)});
        known = std::prev(m_lists.end());
    }
    known->lines.push_back(line);
}

std::vector<FailedLine> FailedEntries::read(RunFileSystem& fs, bool nul,
                                            std::vector<std::string>& unread) const {
    std::vector<FailedLine> out;
    for (const List& list : m_lists) {
        std::vector<std::uint64_t> wanted = list.lines;
        std::sort(wanted.begin(), wanted.end());
        wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
        const std::size_t before = out.size();
        const bool stream = !list.stamp && m_streamKept && m_streamKept(list.name);
        if (!stream && (!list.stamp || stampOf(list.name) != list.stamp)) {
            unread.push_back(list.name);
            continue;
        }
        LineCutter cutter(list.name, wanted, nul, out);
        try {
            fs.readFile(list.name, [&](std::string_view chunk) { cutter.feed(chunk); });
            cutter.finish();
        } catch (const std::exception&) {
            out.resize(before);
            unread.push_back(list.name);
            continue;
        }
        // Read again while it changed: its lines are not the ones that failed.
        if ((!stream && stampOf(list.name) != list.stamp) || out.size() - before != wanted.size()) {
            out.resize(before);
            unread.push_back(list.name);
        }
    }
    return out;
}

KeptFailures FailedEntries::keep(RunFileSystem& fs, bool nul, KeptFailures kept,
                                 const std::string& journalFolder, std::string& problem) const {
    kept.lines = read(fs, nul, kept.unread);
    if (!journalFolder.empty()) {
        problem = KeepFailedLines(journalFolder, kept);
    }
    return kept;
}

std::string KeepFailedLines(const std::string& runFolder, const KeptFailures& kept) {
    std::string name;
    std::string why;
    const Fd dir = openRunFolder(runFolder, name, why);
    if (dir.get() < 0) {
        return why;
    }
    std::string text(kFailedHeader);
    text += std::to_string(kept.failures);
    text += '\n';
    for (const std::string& list : kept.unread) {
        text += "u ";
        appendSized(text, list);
        text += '\n';
    }
    for (const std::string& list : kept.lists) {
        text += "l ";
        appendSized(text, list);
        text += '\n';
    }
    const int fd = ::openat(dir.get(), kFailedNewName,
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    int err = fd < 0 ? errno : 0;
    for (const FailedLine& line : kept.lines) {
        text += "f ";
        appendNumber(text, line.line);
        appendSized(text, line.list);
        text += ' ';
        if (line.bytes.size() < kFailedWrittenApart) {
            appendSized(text, line.bytes);
        } else if (err == 0) {
            // A long line is written as it is, never copied into the text: it may be gigabytes.
            appendNumber(text, line.bytes.size());
            err = WriteFully(fd, text);
            err = err != 0 ? err : WriteFully(fd, line.bytes);
            text.clear();
        }
        text += '\n';
    }
    if (err != 0 && fd >= 0) {
        ::close(fd);
        ::unlinkat(dir.get(), kFailedNewName, 0);
    } else if (fd >= 0) {
        // Not synced: a file a crash cut short reads as damaged, and each run would wait for it.
        err = writeAndRename(fd, text, dir.get(), kFailedNewName, kFailedName, false);
    }
    return err == 0
               ? std::string()
               : "the failed lines of this run cannot be kept with its journal: " + ErrnoText(err);
}

KeptFailures ReadKeptFailures(const std::string& runFolder) {
    std::string name;
    std::string why;
    const Fd dir = openRunFolder(runFolder, name, why);
    if (dir.get() < 0) {
        throw JournalError(why);
    }
    KeptFailures kept;
    parseKeptFailed(readKeptFailed(dir.get(), runFolder), kept, false);
    return kept;
}

namespace {

// The first `limit` bytes of the file `file` of the run kept in `runFolder`; empty when there
// are none to trust.
std::string headOfRunFile(const std::string& runFolder, const char* file, std::size_t limit) {
    std::string name;
    std::string why;
    const Fd dir = openRunFolder(runFolder, name, why);
    const Fd fd(dir.get() < 0
                    ? -1
                    : ::openat(dir.get(), file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    std::string head(fd.get() < 0 ? 0 : limit, '\0');
    const ssize_t got = fd.get() < 0 ? -1 : ::pread(fd.get(), head.data(), head.size(), 0);
    head.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    return head;
}

}  // namespace

KeptFailures KeptRunHead(const std::string& runFolder) {
    // A list is a path, 4 KiB at most: the head holds the lists of any usual run.
    const std::string head = headOfRunFile(runFolder, kFailedName, std::size_t{256} << 10);
    KeptFailures kept;
    try {
        if (!head.empty()) {
            parseKeptFailed(head, kept, true);
        }
    } catch (const JournalError&) {
        kept = {};
    }
    return kept;
}

std::string FirstPathOfRun(const std::string& runFolder) {
    // The folders come first; a run over many folders names its first file a few MiB in.
    return FirstPathIn(headOfRunFile(runFolder, kJournalName, std::size_t{8} << 20));
}

std::uint64_t KeptRunSize(const std::string& runFolder) {
    std::uint64_t size = 0;
    for (const char* name : {kJournalName, "pack", kFailedName}) {
        struct stat st {};
        if (::lstat((runFolder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            size += static_cast<std::uint64_t>(st.st_size);
        }
    }
    return size;
}

namespace {

// The file a name reaches: through a symbolic link, the one it names, when it exists.
std::string reachedFile(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string FailedListProblem(RunFileSystem& fs, const std::string& path,
                              const std::vector<std::string>& inputs) {
    if (path.empty()) {
        return "no file is named";
    }
    const std::string target = reachedFile(path);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return "it is a folder";
        }
        for (const std::string& input : inputs) {
            try {
                if (fs.fileIdentity(input) == IdentityOf(st)) {
                    return "it is read by this run ('" + input + "')";
                }
            } catch (const std::exception&) {
                // Not there: the run reports it; it cannot be this file.
            }
        }
        if (::access(target.c_str(), W_OK) != 0) {
            return "it is not writable: " + ErrnoText(errno);
        }
    }
    const std::string folder = folderOf(target);
    if (::stat(folder.c_str(), &st) != 0) {
        return "its folder cannot be used: " + ErrnoText(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return "its folder cannot be used: " + ErrnoText(ENOTDIR);
    }
    // Written beside it, then renamed: the folder must take a new file.
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return "its folder is not writable: " + ErrnoText(errno);
    }
    return {};
}

std::string WriteFailedList(const std::string& path, const std::vector<FailedLine>& lines) {
    const std::string target = reachedFile(path);
    const std::string folder = folderOf(target);
    // A name of its own beside the file, so a rename puts it in place whole.
    std::string temporary = folder + "/." + target.substr(target.rfind('/') + 1) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return ErrnoText(errno);
    }
    // A file replaced keeps its mode; a new one gets the mode a new file gets.
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        ::fchmod(fd, st.st_mode & 07777);
    } else {
        const mode_t mask = ::umask(077);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    std::string text;
    for (const FailedLine& line : lines) {
        text += line.bytes;
    }
    const int err = writeAndRename(fd, text, AT_FDCWD, temporary.c_str(), target.c_str(), true);
    return err == 0 ? std::string() : ErrnoText(err);
}

}  // namespace pellatrix
