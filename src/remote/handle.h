// Remote file handles: a file of a remote file server, worked on by one request per operation
// through the environment's link.
#pragma once

#include <cstdint>

#include "frame/handle.h"
#include "open/dispatch.h"

namespace mdnio::remote {

// Bits of the open reply's flag word (kept in the shared block's flags).
constexpr uint32_t kWrittenThrough = 0x4000;  // written or removed through this handle

struct RemoteFile : MdkFile {
    MdkSharedFile sharedBlock;
    int32_t number = 0;       // the server's number for the file
    uint64_t generation = 0;  // the connection the file was opened through
};

inline RemoteFile* asRemote(MdkFile* f) {
    return static_cast<RemoteFile*>(f);
}

// The open routine of the remote engine: `request.name` is the text after the remote prefix.
MdkFile* openRemote(const OpenRequest& request);

// The operation table of a plain remote file.
const MdkOpTable& remoteOperations();

}  // namespace mdnio::remote
