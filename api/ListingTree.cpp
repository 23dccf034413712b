#include "api/ListingTree.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "api/NaturalOrder.h"
#include "kivlib/kiv_xml.h"

TextRef TextPool::Add(std::string_view text) {
    const size_t limit = std::numeric_limits<uint32_t>::max();
    if (text.size() > limit - bytes_.size()) throw std::runtime_error("Listing too large");
    TextRef ref;
    ref.at = static_cast<uint32_t>(bytes_.size());
    ref.length = static_cast<uint32_t>(text.size());
    bytes_.append(text);
    return ref;
}

void NameList::SortNatural() {
    const TextPool& pool = *pool_;
    std::sort(names_.begin(), names_.end(),
              [&pool](TextRef a, TextRef b) { return NaturalNameLessUtf8(pool.Get(a), pool.Get(b)); });
}

TextRef ListingTree::Keep(const NameList& list, size_t i) {
    return list.Pool() == &texts ? list.Ref(i) : texts.Add(list.Name(i));
}

namespace {
void WriteItems(const ListingTree& tree, const ListingItem* first, size_t count, kiv_xml_writer& xml) {
    for (const ListingItem* item = first; item != first + count; ++item) {
        xml.open(item->folder ? "folder" : "video");
        xml.text_element("filename", tree.texts.Get(item->name));
        xml.text_element("date", tree.texts.Get(item->date));
        if (item->hasPreview) {
            xml.open("subItems");
            WriteItems(tree, tree.previews.data() + item->previewFirst, item->previewCount, xml);
            xml.close();
        }
        xml.close();
    }
}
}  // namespace

void WriteListing(const ListingTree& tree, IByteSink& out) {
    kiv_xml_writer xml(out);
    xml.open("calvoro");
    xml.open("files");
    WriteItems(tree, tree.items.data(), tree.items.size(), xml);
    xml.close();
    xml.close();
}
