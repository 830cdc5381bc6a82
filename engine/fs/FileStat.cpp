#include "engine/fs/FileStat.h"

namespace pellatrix {

FileIdentity IdentityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

FileStamp StampOf(const struct stat& st) {
    return {IdentityOf(st), static_cast<std::uint64_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec),
            static_cast<std::int64_t>(st.st_mtim.tv_nsec), static_cast<std::uint32_t>(st.st_mode)};
}

EntryStat EntryStatOf(const struct stat& st) {
    EntryStat entry;
    entry.kind = S_ISREG(st.st_mode)   ? EntryStat::Kind::File
                 : S_ISDIR(st.st_mode) ? EntryStat::Kind::Folder
                 : S_ISLNK(st.st_mode) ? EntryStat::Kind::Link
                                       : EntryStat::Kind::Other;
    entry.stamp = StampOf(st);
    entry.changedNs =
        static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    entry.owner = static_cast<std::uint32_t>(st.st_uid);
    entry.links = static_cast<std::uint64_t>(st.st_nlink);
    return entry;
}
}  // namespace pellatrix
