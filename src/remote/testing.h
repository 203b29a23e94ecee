// Test helpers of the remote engine: a served root with the file server running on a free port,
// and a keyed file to serve.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "mdnio.h"
#include "mdnio_devtools.h"
#include "mdnio_server.h"
#include "testutil.h"

namespace mdnio::remote::test {

// An empty classic keyed file: 8-byte key area (the primary key), data up to 40 bytes.
inline void makeKeyedFile(const std::string& path) {
    devtools::ClassicLayout layout;
    layout.recordSize = 40;
    layout.keyAreaSize = 8;
    devtools::Key primary;
    primary.segments = {devtools::keySegment(devtools::kKeyAreaField, 0, 8)};
    layout.keys = {primary};
    std::string why;
    ASSERT_EQ(devtools::createClassicFile(path, layout, &why), 0) << why;
}

// The file server on 127.0.0.1 and a free port, serving `root`, run by a thread until the
// object goes.
class ServedRoot {
  public:
    explicit ServedRoot(const std::string& root) {
        server::Options options;
        options.root = root;
        options.port = 0;
        server_ = std::make_unique<server::Server>(options);
        std::string error;
        started_ = server_->start(&error);
        EXPECT_TRUE(started_) << error;
        if (started_) runner_ = std::thread([this] { server_->run(); });
    }
    ~ServedRoot() {
        server_->stop();
        if (runner_.joinable()) runner_.join();
    }
    ServedRoot(const ServedRoot&) = delete;
    ServedRoot& operator=(const ServedRoot&) = delete;

    server::Server& server() { return *server_; }
    int port() const { return server_->port(); }
    // The remote name of `name` under the root.
    std::string name(const std::string& file) const {
        return "[rmt:127.0.0.1;" + std::to_string(port()) + "]" + file;
    }

  private:
    std::unique_ptr<server::Server> server_;
    std::thread runner_;
    bool started_ = false;
};

}  // namespace mdnio::remote::test
