// What a folder listing shows, held compactly until its reply is written: names and dates in one pool
// of bytes, a small fixed record per item. The XML is written from it as it is sent, so a listing of a
// large folder costs a fraction of its reply, never a copy of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class IByteSink;

// One text of a TextPool.
struct TextRef {
    uint32_t at = 0;
    uint32_t length = 0;
};

// Texts kept one after another in one block.
class TextPool {
public:
    // Throws std::runtime_error once the pool would pass 4 GiB.
    TextRef Add(std::string_view text);
    std::string_view Get(TextRef ref) const { return std::string_view(bytes_).substr(ref.at, ref.length); }
    void Reserve(size_t more) { bytes_.reserve(bytes_.size() + more); }

private:
    std::string bytes_;
};

// The UTF-8 names a folder scan found, in a pool.
class NameList {
public:
    explicit NameList(TextPool& pool) : pool_(&pool) {}
    void Add(std::string_view name) { names_.push_back(pool_->Add(name)); }
    size_t size() const { return names_.size(); }
    std::string_view Name(size_t i) const { return pool_->Get(names_[i]); }
    TextRef Ref(size_t i) const { return names_[i]; }
    const TextPool* Pool() const { return pool_; }
    // In the order of NaturalNameLessUtf8.
    void SortNatural();

private:
    TextPool* pool_;
    std::vector<TextRef> names_;
};

// One "video" or "folder" element; a folder may carry a preview ("subItems").
struct ListingItem {
    TextRef name;
    TextRef date;
    uint32_t previewFirst = 0;  // its preview: ListingTree::previews[previewFirst, previewFirst + previewCount)
    uint8_t previewCount = 0;
    bool folder = false;
    bool hasPreview = false;
};

struct ListingTree {
    TextPool texts;
    std::vector<ListingItem> items;     // the children of "files"
    std::vector<ListingItem> previews;  // the children of every "subItems", each folder's in one run

    // A name of list kept in texts (where it already is when list uses texts as its pool).
    TextRef Keep(const NameList& list, size_t i);
};

// The listing document: root "calvoro", its "files" and their items, laid out as the XML library lays
// out the same element tree.
void WriteListing(const ListingTree& tree, IByteSink& out);
