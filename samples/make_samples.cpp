// Writes the sample data set (data files and dictionaries, see mdnio_devtools.h) into
// the directory named on the command line, creating the directory when it does not exist.
// The files are made fresh each time: a directory that already holds them is refused.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "mdnio_devtools.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string directory = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        std::fprintf(stderr, "%s: %s\n", directory.c_str(), ec.message().c_str());
        return 1;
    }
    std::string why;
    int rc = mdnio::devtools::makeSampleData(directory, &why);
    if (rc != 0) {
        std::fprintf(stderr, "make_samples: %s (code %d)\n", why.c_str(), rc);
        return 1;
    }
    std::printf("sample data set written to %s\n", directory.c_str());
    return 0;
}
