#include "engine/JournalFormat.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/RunJournal.h"

namespace pellatrix::journal {

namespace {

constexpr std::size_t kCopyChunk = std::size_t{1} << 20;

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    Journal parse() {
        Journal journal;
        if (m_text.substr(0, kHeader.size()) != kHeader &&
            m_text.substr(0, kHeaderBefore.size()) != kHeaderBefore) {
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
                              false,
                              std::nullopt};
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
                              false,
                              std::nullopt};
                    step.old = stamp();
                    if (type == 'i') {
                        step.opened = step.old;  // the same file, written again
                    }
                    step.keep = word();
                    if (const std::size_t colon = step.keep.find(':');
                        colon != std::string::npos && step.keep[0] == 'p') {
                        step.checksum = hexNumber(std::string_view(step.keep).substr(colon + 1));
                        step.keep.resize(colon);
                    }
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
            throw JournalError(std::string("the journal cannot be read: ") + ErrnoText(errno));
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

Journal ReadJournal(int fd) {
    return Parser(readWhole(fd)).parse();
}

std::string ErrnoText(int err) {
    return std::strerror(err);
}

std::vector<std::string> RunNames(const std::string& runsFolder) {
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

FileStamp StampOf(const struct stat& st) {
    return {
        static_cast<std::uint64_t>(st.st_dev),         static_cast<std::uint64_t>(st.st_ino),
        static_cast<std::uint64_t>(st.st_size),        static_cast<std::int64_t>(st.st_mtim.tv_sec),
        static_cast<std::int64_t>(st.st_mtim.tv_nsec), static_cast<std::uint32_t>(st.st_mode)};
}

int ChecksumRange(int fd, off_t at, std::uint64_t length, std::uint64_t& sum) {
    // Most files are small: read whole through the stack and summed at once.
    char small[16384];
    if (length <= sizeof small) {
        std::size_t got = 0;
        while (got < length) {
            const ssize_t n = ::pread(fd, small + got, length - got, at + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return n < 0 ? errno : EIO;
            }
            got += static_cast<std::size_t>(n);
        }
        sum = XXH3_64bits(small, got);
        return 0;
    }
    const std::size_t bufferSize = kCopyChunk;
    std::unique_ptr<char[]> big(new char[bufferSize]);
    char* buffer = big.get();
    std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> state(XXH3_createState(),
                                                                   &XXH3_freeState);
    if (!state || XXH3_64bits_reset(state.get()) != XXH_OK) {
        return ENOMEM;
    }
    while (length > 0) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, bufferSize));
        const ssize_t got = ::pread(fd, buffer, chunk, at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? errno : EIO;
        }
        XXH3_64bits_update(state.get(), buffer, static_cast<std::size_t>(got));
        at += got;
        length -= static_cast<std::uint64_t>(got);
    }
    sum = XXH3_64bits_digest(state.get());
    return 0;
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

}  // namespace pellatrix::journal
