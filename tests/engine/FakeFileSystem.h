#pragma once

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/fs/FileSystem.h"
#include "engine/fs/FsError.h"

namespace pellatrix::test {

/// An in-memory file system that records every call in order and fails on demand. Paths are
/// tidied like a POSIX kernel does (doubled and final separators ignored); `separator` lets the
/// Windows flavour of the path rules run against it too.
class FakeFileSystem : public FileSystem {
public:
    explicit FakeFileSystem(char separator = '/') : m_sep(separator) {
        m_folders.insert(std::string(1, m_sep));
    }

    // --- setting up ---
    void addFolder(const std::string& path) { m_folders.insert(tidy(path)); }
    void addFile(const std::string& path, std::string bytes) {
        m_files[tidy(path)] = std::move(bytes);
    }
    /// Makes `path` another name of the file `target` (a link or a hard link): same identity,
    /// and a write through it lands in the target.
    void addAlias(const std::string& path, const std::string& target) {
        m_aliases[tidy(path)] = tidy(target);
    }
    /// The next and every later call of `op` ("read", "write", "mkdir", "attributes", "time")
    /// on `path` fails with `number`.
    void failOn(const std::string& op, const std::string& path, int number = kErrPermissionDenied) {
        m_failures[{op, path}] = number;
    }
    /// Reads of `path` deliver `chunks` chunks and then fail.
    void failReadAfter(const std::string& path, int chunks) { m_readFailsAfter[path] = chunks; }
    /// Size of the chunks readFile hands out.
    void setChunkSize(std::size_t size) { m_chunk = size; }
    /// Stop recording calls (for runs over very many entries).
    void setRecording(bool on) { m_recording = on; }
    /// Runs `hook` at the start of every write (e.g. to change the world mid-run).
    void setWriteHook(std::function<void(const std::string&)> hook) {
        m_writeHook = std::move(hook);
    }

    // --- inspecting ---
    const std::vector<std::string>& calls() const { return m_calls; }
    std::vector<std::string> callsOf(std::string_view op) const {
        std::vector<std::string> out;
        for (const std::string& c : m_calls) {
            if (c.compare(0, op.size() + 1, std::string(op) + " ") == 0) {
                out.push_back(c.substr(op.size() + 1));
            }
        }
        return out;
    }
    bool hasFolder(const std::string& path) const { return m_folders.count(tidy(path)) != 0; }
    bool hasFile(const std::string& path) const { return m_files.count(tidy(path)) != 0; }
    std::string file(const std::string& path) const {
        auto it = m_files.find(tidy(path));
        return it == m_files.end() ? std::string("<missing>") : it->second;
    }
    std::size_t fileCount() const { return m_files.size(); }
    std::size_t writeCount() const { return m_writes; }
    void clearCalls() { m_calls.clear(); }

    // --- FileSystem ---
    void readFile(const std::string& path,
                  const std::function<void(std::string_view)>& sink) override {
        record("read", path);
        failIfAsked("read", path);
        auto it = m_files.find(resolve(path));
        if (it == m_files.end()) {
            throw FsError(m_folders.count(tidy(path)) ? kErrPathFileAccess : kErrFileNotFound,
                          "Cannot open '" + path + "' for reading");
        }
        const std::string bytes = it->second;  // the sink may change the world meanwhile
        auto failAfter = m_readFailsAfter.find(path);
        int delivered = 0;
        for (std::size_t at = 0; at < bytes.size(); at += m_chunk) {
            if (failAfter != m_readFailsAfter.end() && delivered == failAfter->second) {
                throw FsError(kErrPathFileAccess, "Cannot read '" + path + "': I/O error");
            }
            sink(std::string_view(bytes).substr(at, m_chunk));
            ++delivered;
        }
        if (failAfter != m_readFailsAfter.end() && delivered <= failAfter->second) {
            throw FsError(kErrPathFileAccess, "Cannot read '" + path + "': I/O error");
        }
    }

    void writeFile(const std::string& path, std::string_view text,
                   const WriteGuard& guard) override {
        record("write", path);
        if (m_writeHook) {
            m_writeHook(path);
        }
        failIfAsked("write", path);
        const std::string p = resolve(path);
        if (path.find('\0') != std::string::npos) {
            throw FsError(kErrPathFileAccess, "Cannot open for writing: Invalid argument");
        }
        if (m_folders.count(p) || path.empty() || path.back() == m_sep) {
            throw FsError(kErrPathFileAccess,
                          "Cannot open '" + path + "' for writing: Is a directory");
        }
        if (!parentExists(p)) {
            throw FsError(kErrPathNotFound,
                          "Cannot open '" + path + "' for writing: No such file or directory");
        }
        if (guard) {
            guard(identityOf(p));
        }
        ++m_writes;
        m_files[p] = std::string(text);
    }

    FileIdentity fileIdentity(const std::string& path) override {
        record("identity", path);
        const std::string p = resolve(path);
        if (!exists(p)) {
            throw FsError(kErrFileNotFound, "Cannot read the identity of '" + path + "'");
        }
        return identityOf(p);
    }

    void createFolder(const std::string& path) override {
        record("mkdir", path);
        failIfAsked("mkdir", path);
        const std::string p = tidy(path);
        if (path.empty()) {
            throw FsError(kErrPathNotFound, "Cannot create folder '': No such file or directory");
        }
        if (m_folders.count(p) || m_files.count(p)) {
            throw FsError(kErrPathFileAccess, "Cannot create folder '" + path + "': File exists");
        }
        if (!parentExists(p)) {
            throw FsError(kErrPathNotFound,
                          "Cannot create folder '" + path + "': No such file or directory");
        }
        m_folders.insert(p);
    }

    std::int64_t lastModified(const std::string& path) override {
        record("time", path);
        failIfAsked("time", path);
        if (!exists(path)) {
            throw FsError(kErrFileNotFound, "Cannot read the time of '" + path + "'");
        }
        return 1;
    }

    int attributes(const std::string& path) override {
        record("attributes", path);
        failIfAsked("attributes", path);
        const std::string p = tidy(path);
        if (m_folders.count(p) || p == ".") {  // bare names live in the working folder
            return kAttrDirectory;
        }
        if (m_files.count(p)) {
            return kAttrArchive;
        }
        throw FsError(kErrFileNotFound, "Cannot read the attributes of '" + path + "'");
    }

    bool isRootFolder(const std::string& path) override {
        return tidy(path) == std::string(1, m_sep);
    }
    std::vector<std::string> subFolderNames(const std::string& folder) override {
        return childrenOf(folder, true);
    }
    std::vector<std::string> fileNames(const std::string& folder) override {
        return childrenOf(folder, false);
    }
    bool isExistingFile(const std::string& path) override { return m_files.count(tidy(path)) != 0; }
    FolderIdentity folderIdentity(const std::string& path) override {
        const std::string p = tidy(path);
        if (!m_folders.count(p)) {
            throw FsError(kErrPathNotFound, "Cannot read folder '" + path + "'");
        }
        return {1, std::hash<std::string>()(p)};
    }

private:
    std::string tidy(const std::string& path) const {
        std::string out;
        for (char c : path) {
            if (c == m_sep && !out.empty() && out.back() == m_sep) {
                continue;
            }
            out += c;
        }
        if (out.size() > 1 && out.back() == m_sep) {
            out.pop_back();
        }
        return out;
    }
    std::string resolve(const std::string& path) const {
        const std::string p = tidy(path);
        auto it = m_aliases.find(p);
        return it == m_aliases.end() ? p : it->second;
    }
    static FileIdentity identityOf(const std::string& resolved) {
        return {2, std::hash<std::string>()(resolved)};
    }
    bool exists(const std::string& path) const {
        return m_folders.count(tidy(path)) || m_files.count(tidy(path));
    }
    bool parentExists(const std::string& tidied) const {
        std::size_t at = tidied.rfind(m_sep);
        if (at == std::string::npos) {
            return true;  // a bare name lives in the working folder
        }
        std::string parent = at == 0 ? std::string(1, m_sep) : tidied.substr(0, at);
        return m_folders.count(parent) != 0;
    }
    std::vector<std::string> childrenOf(const std::string& folder, bool folders) const {
        const std::string p = tidy(folder);
        std::string prefix = p == std::string(1, m_sep) ? p : p + m_sep;
        std::vector<std::string> out;
        auto collect = [&](const std::string& path) {
            if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
                path.find(m_sep, prefix.size()) == std::string::npos) {
                out.push_back(path.substr(prefix.size()));
            }
        };
        if (folders) {
            for (const std::string& f : m_folders) {
                collect(f);
            }
        } else {
            for (const auto& [f, bytes] : m_files) {
                collect(f);
            }
        }
        return out;
    }
    void record(const char* op, const std::string& path) {
        if (m_recording) {
            m_calls.push_back(std::string(op) + " " + path);
        }
    }
    void failIfAsked(const std::string& op, const std::string& path) {
        auto it = m_failures.find({op, path});
        if (it != m_failures.end()) {
            throw FsError(it->second, "Injected failure of " + op + " '" + path + "'");
        }
    }

    char m_sep;
    std::set<std::string> m_folders;
    std::map<std::string, std::string> m_files;
    std::map<std::string, std::string> m_aliases;
    std::map<std::pair<std::string, std::string>, int> m_failures;
    std::map<std::string, int> m_readFailsAfter;
    std::size_t m_chunk = 4096;
    bool m_recording = true;
    std::size_t m_writes = 0;
    std::function<void(const std::string&)> m_writeHook;
    std::vector<std::string> m_calls;
};

}  // namespace pellatrix::test
