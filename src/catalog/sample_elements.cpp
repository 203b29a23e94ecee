// Embedded dictionaries of the sample data set: elements and their dictionary records.
#include "catalog/embedded.h"
#include "catalog/sample_data.h"

namespace mdnio::catalog::samples {

std::vector<uint8_t> encodeElement(const DictionaryElement& element) {
    const std::string type(1, element.type);
    const std::string storage(1, element.storage);
    const std::string none;
    // The tag, then items 0 to 13: name, (1), type, length, item4, storage, 6 (a filler the
    // readers pass over), (7 to 11), format, flags.
    std::vector<std::string_view> items = {
        element.tag,   element.name, none,          type,           element.length,
        element.item4, storage,      element.item6, none,           none,
        none,          none,         none,          element.format, element.flags};
    return joinItems(items);
}

int32_t writeEmbeddedDictionary(MdkFile* file, const std::vector<DictionaryElement>& keyElements,
                                const std::vector<DictionaryElement>& dataElements) {
    // Record 0 names the dictionary; the readers start at -1 and 1 and never look at it.
    DictionaryElement head;
    head.tag = "DICT";
    head.name = "sample dictionary";
    std::vector<uint8_t> bytes = encodeElement(head);
    if (MDK_dict_add(file, 0, bytes.data(), static_cast<int32_t>(bytes.size())) != 0) return -1;
    int32_t n = 0;
    for (const DictionaryElement& e : keyElements) {
        bytes = encodeElement(e);
        if (MDK_dict_add(file, --n, bytes.data(), static_cast<int32_t>(bytes.size())) != 0)
            return -1;
    }
    n = 0;
    for (const DictionaryElement& e : dataElements) {
        bytes = encodeElement(e);
        if (MDK_dict_add(file, ++n, bytes.data(), static_cast<int32_t>(bytes.size())) != 0)
            return -1;
    }
    return 0;
}

}  // namespace mdnio::catalog::samples
