// A data file the catalog opens for reading, closed when the scope ends.
#pragma once

#include <string>

#include "mdnio.h"

namespace mdnio::catalog {

class ReadOnlyFile {
  public:
    // Dictionaries and data files are only read here: they are opened read-only, so that a
    // listing can neither change them nor be refused a file that is not writable.
    ReadOnlyFile(MdkEnv* env, const std::string& name)
        : file_(MDK_OpenExt(env, name.c_str(), nullptr, 0, MDK_OPEN_READONLY, nullptr)) {}
    ~ReadOnlyFile() {
        if (ok()) MDK_close(file_);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool ok() const { return file_ != nullptr && file_ != MDK_INVALID_FILE; }
    MdkFile* get() const { return file_; }

  private:
    MdkFile* file_;
};

}  // namespace mdnio::catalog
