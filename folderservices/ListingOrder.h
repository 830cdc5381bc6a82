#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pellatrix {

// Listing order: the order in which a folder's names are walked and shown (the scan's
// subfolders, a folder's files, the samples record). A Windows file system lists a folder
// sorted; readdir order is whatever the disk keeps, so it is never shown. Names compare
// case-insensitively, then by their raw bytes, so the order is total and the same on every disk.

/// The case-folded code points of `name` read as UTF-8; a byte that starts no valid sequence
/// stands for itself, unfolded.
std::u32string ListingKey(std::string_view name);

/// True when `a` comes before `b` in listing order.
bool ListingOrderLess(std::string_view a, std::string_view b);

/// Sorts `items` into the listing order of `nameOf(item)`, folding each name once.
template <class T, class NameOf>
void SortInListingOrder(std::vector<T>& items, NameOf nameOf) {
    if (items.size() < 2) {
        return;
    }
    struct Keyed {
        std::u32string key;
        std::size_t index;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        keyed.push_back({ListingKey(nameOf(items[i])), i});
    }
    std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
        if (const int order = a.key.compare(b.key); order != 0) {
            return order < 0;
        }
        // char_traits<char> compares bytes as unsigned.
        return std::string_view(nameOf(items[a.index])) < std::string_view(nameOf(items[b.index]));
    });
    std::vector<T> sorted;
    sorted.reserve(items.size());
    for (const Keyed& k : keyed) {
        sorted.push_back(std::move(items[k.index]));
    }
    items = std::move(sorted);
}

inline void SortInListingOrder(std::vector<std::string>& names) {
    SortInListingOrder(names, [](const std::string& name) -> const std::string& { return name; });
}

}  // namespace pellatrix
