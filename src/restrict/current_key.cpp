#include "restrict/current_key.h"

#include "frame/frame.h"

namespace mdnio::filter {

CurrentKey currentKey(MdkFile* file) {
    if (!file->keyBuffer || !readsRecordsItself(file)) raiseError(file, MDK_E_FILETYPE);
    return file->ops->currentKey(file);
}

}  // namespace mdnio::filter
