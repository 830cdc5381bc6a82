#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/fs/FileSystem.h"
#include "engine/fs/FsError.h"

namespace pellatrix::test {

/// An in-memory folder tree with exact attribute words, listing orders and failures on demand.
/// Paths use "/"; a final "/" is ignored when a path is looked up. Records every listing.
class FakeFileSystem : public FileSystem {
public:
    struct Node {
        bool folder = true;
        int attributes = kAttrDirectory;
        std::vector<std::string> children;  // listing order
        FolderIdentity identity;
        bool root = false;
        std::optional<int> listFailure;  // number thrown by subFolderNames / fileNames
        std::optional<int> attributeFailure;
        std::optional<int> identityFailure;
        std::optional<int> rootFailure;
    };

    FakeFileSystem() {
        Node& root = m_nodes["/"];
        root.root = true;
        root.identity = {1, m_nextInode++};
    }

    /// Adds a folder (and its missing parents as plain folders), appended to its parent's order.
    Node& addFolder(const std::string& path, int attributes = kAttrDirectory) {
        Node& node = add(path, true);
        node.attributes = attributes;
        return node;
    }
    Node& addFile(const std::string& path, int attributes = kAttrArchive) {
        Node& node = add(path, false);
        node.attributes = attributes;
        return node;
    }
    /// Makes `path` a link to the folder `target`: same identity and children, link bit set.
    Node& addFolderLink(const std::string& path, const std::string& target) {
        Node& node = add(path, true);
        const Node& to = at(target);
        node.attributes = to.attributes | kAttrReparsePoint;
        node.identity = to.identity;
        m_links[key(path)] = key(target);
        return node;
    }
    Node& at(const std::string& path) { return m_nodes.at(key(path)); }

    const std::vector<std::string>& listed() const { return m_listed; }

    void readFile(const std::string&, const std::function<void(std::string_view)>&) override {
        throw FsError(kErrPathFileAccess, "not offered");
    }
    void writeFile(const std::string&, std::string_view, const WriteGuard&) override {
        throw FsError(kErrPathFileAccess, "not offered");
    }
    FileIdentity fileIdentity(const std::string&) override {
        throw FsError(kErrPathFileAccess, "not offered");
    }
    void createFolder(const std::string&) override {
        throw FsError(kErrPathFileAccess, "not offered");
    }
    std::int64_t lastModified(const std::string& path) override {
        find(path, "time");
        return 0;
    }
    int attributes(const std::string& path) override {
        const Node& node = find(path, "attributes");
        if (node.attributeFailure) {
            throw FsError(*node.attributeFailure, "attributes of " + path + " failed");
        }
        return node.attributes;
    }
    bool isRootFolder(const std::string& path) override {
        const Node& node = find(path, "root test");
        if (node.rootFailure) {
            throw FsError(*node.rootFailure, "root test of " + path + " failed");
        }
        return node.root;
    }
    std::vector<std::string> subFolderNames(const std::string& folder) override {
        return list(folder, true);
    }
    std::vector<std::string> fileNames(const std::string& folder) override {
        return list(folder, false);
    }
    bool isExistingFile(const std::string& path) override {
        auto it = m_nodes.find(key(path));
        return it != m_nodes.end() && !it->second.folder;
    }
    FolderIdentity folderIdentity(const std::string& path) override {
        const Node& node = find(path, "identity");
        if (node.identityFailure) {
            throw FsError(*node.identityFailure, "identity of " + path + " failed");
        }
        return node.identity;
    }

private:
    static std::string key(const std::string& path) {
        std::string k = path;
        while (k.size() > 1 && k.back() == '/') {
            k.pop_back();
        }
        return k;
    }
    static std::string parentOf(const std::string& k) {
        const std::size_t slash = k.rfind('/');
        return slash == 0 ? "/" : k.substr(0, slash);
    }
    Node& add(const std::string& path, bool folder) {
        const std::string k = key(path);
        const std::string parent = parentOf(k);
        if (!m_nodes.count(parent)) {
            add(parent, true);
        }
        Node& node = m_nodes[k];
        node.folder = folder;
        node.identity = {1, m_nextInode++};
        m_nodes[parent].children.push_back(k.substr(k.rfind('/') + 1));
        return node;
    }
    const Node& find(const std::string& path, const char* what) {
        auto it = m_nodes.find(key(path));
        if (it == m_nodes.end()) {
            throw FsError(kErrPathNotFound, std::string(what) + ": no " + path);
        }
        return it->second;
    }
    std::vector<std::string> list(const std::string& folder, bool folders) {
        m_listed.push_back(folder);
        std::string k = key(folder);
        const Node& node = find(k, "listing");
        if (!node.folder) {
            throw FsError(kErrPathNotFound, "listing: not a folder " + folder);
        }
        if (auto link = m_links.find(k); link != m_links.end()) {
            k = link->second;
        }
        const Node& target = m_nodes.at(k);
        std::vector<std::string> names;
        for (const std::string& child : target.children) {
            if (m_nodes.at((k == "/" ? "" : k) + "/" + child).folder == folders) {
                names.push_back(child);
            }
        }
        if (node.listFailure) {
            throw FsError(*node.listFailure, "listing " + folder + " failed");
        }
        return names;
    }

    std::map<std::string, Node> m_nodes;
    std::map<std::string, std::string> m_links;
    std::vector<std::string> m_listed;
    std::uint64_t m_nextInode = 1;
};

}  // namespace pellatrix::test
