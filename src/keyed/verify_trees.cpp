// Classic verifier, key trees: the shape, order and bounds of every key tree, and the leaf entries
// the record checks take, through the walk every keyed format shares.
#include "keyed/verify_context.h"

namespace mdnio::keyed::verify {

namespace {

// Key blocks by block address, through the verifier's cache.
class ClassicTreeBlocks : public common::verifying::TreeBlocks {
  public:
    using Read = std::function<const Bytes*(uint32_t, std::string&)>;
    using Accept = std::function<void(const Bytes&, uint32_t, const std::string&)>;
    ClassicTreeBlocks(Read read, Accept accept)
        : read_(std::move(read)), accept_(std::move(accept)) {}
    const Bytes* read(uint32_t address, std::string& why) override { return read_(address, why); }
    void accepted(const Bytes& block, uint32_t address, const std::string& where) override {
        accept_(block, address, where);
    }

  private:
    Read read_;
    Accept accept_;
};

}  // namespace

void Verifier::checkTrees() {
    ClassicTreeBlocks blocks(
        [this](uint32_t address, std::string& why) { return readBlock(address, why); },
        [this](const Bytes& block, uint32_t address, const std::string& where) {
            selfAddressOk(block, address, where);
            addExtent(address, h_.blockSize, "key " + blockName(address));
        });
    const common::verifying::TreeRules rules{h_.recordSize == 0, !options_.treesOnly};
    trees_ = common::verifying::walkKeyTrees(layout_, h_.blockSize,
                                             std::span(h_.roots).first(layout_.keyCount()), rules,
                                             blocks, reachedKeyBlocks_, problems_);
    for (const TreeWalk& walk : trees_)
        report_.trees.push_back(
            KeyTreeShape{std::max(walk.leafDepth, 0), walk.blocks, walk.entries});
    for (uint32_t address : keyBlocksInFile_) {
        if (!reachedKeyBlocks_.count(address)) {
            problem("key " + blockName(address) + ": not part of any key tree");
        }
    }
}

}  // namespace mdnio::keyed::verify
