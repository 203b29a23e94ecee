// A remote file answers as the same file opened locally: one table of operations run on a
// local handle and on a handle of a served copy through "[rmt:127.0.0.1;PORT]name".
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mdnio.h"
#include "remote/testing.h"

namespace mdnio::remote {
namespace {

// What a call gave: its result, the error code after a failure, and the bytes it placed.
std::string outcome(MdkFile* f, int32_t result, const char* bytes = nullptr, int32_t n = 0) {
    std::string s = std::to_string(result);
    if (result == -1) {
        const int32_t code = MDK_geterrno(f);
        s += " error " + std::to_string(code) + " " + MDK_strerr(f);
    }
    if (bytes && n > 0) s += " [" + std::string(bytes, static_cast<size_t>(n)) + "]";
    return s;
}

std::string insert(MdkFile* f, const char* key, const char* data) {
    return outcome(f, MDK_insert(f, data, static_cast<int32_t>(std::strlen(data)), key, 8));
}

std::string readOne(MdkFile* f, int32_t option, int32_t length = 64) {
    char buf[64] = {};
    int32_t r = MDK_read(f, buf, length, option);
    return outcome(f, r, buf, r > 0 ? r : (r == -2 ? length : 0));
}

std::string seek(MdkFile* f, const char* key) {
    return outcome(f, MDK_seek(f, key, static_cast<int32_t>(std::strlen(key)), 1));
}

// The outcomes of several calls, in the order written (the elements of a braced list are
// evaluated in order, the operands of + are not).
std::string inOrder(std::initializer_list<std::string> parts) {
    std::string s;
    for (const std::string& part : parts)
        s += part;
    return s;
}

struct Step {
    const char* what;
    std::function<std::string(MdkFile* f, MdkFile* readOnly)> run;
};

const Step kSteps[] = {
    {"insert", [](MdkFile* f, MdkFile*) { return insert(f, "key00003", "three"); }},
    {"insert more",
     [](MdkFile* f, MdkFile*) {
         return inOrder({insert(f, "key00001", "one"), insert(f, "key00002", "two"),
                         insert(f, "key00005", "five"), insert(f, "key00004", "four")});
     }},
    {"insert a key that exists", [](MdkFile* f, MdkFile*) { return insert(f, "key00002", "x"); }},
    {"seek an equal key", [](MdkFile* f, MdkFile*) { return seek(f, "key00003"); }},
    {"read current", [](MdkFile* f, MdkFile*) { return readOne(f, MDK_READ_CURRENT); }},
    {"read next", [](MdkFile* f, MdkFile*) { return readOne(f, MDK_READ_NEXT); }},
    {"read prior twice",
     [](MdkFile* f, MdkFile*) {
         return inOrder({readOne(f, MDK_READ_PRIOR), readOne(f, MDK_READ_PRIOR)});
     }},
    {"seek a key between", [](MdkFile* f, MdkFile*) { return seek(f, "key00002x"); }},
    {"read after a missed seek", [](MdkFile* f, MdkFile*) { return readOne(f, MDK_READ_NEXT); }},
    {"seek past the last key", [](MdkFile* f, MdkFile*) { return seek(f, "key00009"); }},
    {"read next at the end", [](MdkFile* f, MdkFile*) { return readOne(f, MDK_READ_NEXT); }},
    {"read into a short buffer",
     [](MdkFile* f, MdkFile*) {
         return inOrder({seek(f, "key00005"), readOne(f, MDK_READ_CURRENT, 10)});
     }},
    {"length of the current record",
     [](MdkFile* f, MdkFile*) { return outcome(f, MDK_read(f, nullptr, 0, MDK_READ_CURRENT)); }},
    {"position and back",
     [](MdkFile* f, MdkFile*) {
         seek(f, "key00002");
         readOne(f, MDK_READ_CURRENT);
         const int32_t at = MDK_getpos(f);
         std::string s = at > 0 ? "positioned" : outcome(f, at);
         readOne(f, MDK_READ_NEXT);
         s += outcome(f, MDK_setpos(f, at));
         s += readOne(f, MDK_READ_CURRENT);
         return s;
     }},
    {"read by address",
     [](MdkFile* f, MdkFile*) {
         seek(f, "key00004");
         readOne(f, MDK_READ_CURRENT);
         const int32_t at = MDK_getpos(f);
         seek(f, "key00001");
         char buf[64] = {};
         int32_t r = MDK_ExtReadDirect(f, buf, sizeof buf, 0, 0, at);
         return outcome(f, r, buf, r);
     }},
    {"update",
     [](MdkFile* f, MdkFile*) {
         const char data[] = "THREE, longer";
         return inOrder({outcome(f, MDK_update(f, data, sizeof data - 1, "key00003", 8)),
                         seek(f, "key00003"), readOne(f, MDK_READ_CURRENT)});
     }},
    {"rewrite the current record",
     [](MdkFile* f, MdkFile*) {
         const char data[] = "3";
         return inOrder({seek(f, "key00003"), readOne(f, MDK_READ_CURRENT),
                         outcome(f, MDK_ExtWrite(f, data, 1, nullptr, -1, MDK_WRITE_UPDATE, 0)),
                         readOne(f, MDK_READ_CURRENT)});
     }},
    {"update a missing key",
     [](MdkFile* f, MdkFile*) { return outcome(f, MDK_update(f, "z", 1, "key00042", 8)); }},
    {"remove",
     [](MdkFile* f, MdkFile*) {
         return inOrder(
             {outcome(f, MDK_remove(f, "key00002", 8)), outcome(f, MDK_remove(f, "key00002", 8))});
     }},
    {"scan",
     [](MdkFile* f, MdkFile*) {
         std::string s = seek(f, "key0000");
         for (int i = 0; i < 6; ++i)
             s += readOne(f, i == 0 ? MDK_READ_CURRENT : MDK_READ_NEXT);
         return s;
     }},
    {"write through a read-only handle",
     [](MdkFile*, MdkFile* readOnly) { return insert(readOnly, "key00007", "seven"); }},
    {"read through the read-only handle",
     [](MdkFile*, MdkFile* readOnly) {
         return inOrder({seek(readOnly, "key00004"), readOne(readOnly, MDK_READ_CURRENT)});
     }},
};

class RemoteFileTest : public testing::Test {
  protected:
    void SetUp() override {
        test::makeKeyedFile(local_.file("t.dat"));
        test::makeKeyedFile(served_.file("t.dat"));
    }

    // Runs every step on the file `name` opened in a fresh environment; what each gave.
    static std::vector<std::string> runAll(const std::string& name) {
        std::vector<std::string> results;
        MdkEnv* env = MDK_AllocEnv();
        int32_t error = 0;
        MdkFile* f = MDK_OpenExt(env, name.c_str(), nullptr, 0, 0, &error);
        MdkFile* readOnly = MDK_OpenExt(env, name.c_str(), nullptr, 0, MDK_OPEN_READONLY, &error);
        EXPECT_NE(f, MDK_INVALID_FILE) << name << " " << error;
        EXPECT_NE(readOnly, MDK_INVALID_FILE) << name << " " << error;
        if (f != MDK_INVALID_FILE && readOnly != MDK_INVALID_FILE) {
            for (const Step& step : kSteps)
                results.push_back(step.run(f, readOnly));
            results.push_back(
                inOrder({outcome(f, MDK_close(f)), outcome(readOnly, MDK_close(readOnly))}));
        }
        MDK_DeAllocEnv(env);
        return results;
    }

    mdnio::test::TempDir local_;
    mdnio::test::TempDir served_;
};

TEST_F(RemoteFileTest, EveryOperationAnswersAsOnTheLocalFile) {
    test::ServedRoot root(served_.path());
    const auto local = runAll(local_.file("t.dat"));
    const auto remote = runAll(root.name("t.dat"));
    ASSERT_EQ(local.size(), std::size(kSteps) + 1);
    ASSERT_EQ(remote.size(), local.size());
    for (size_t i = 0; i < local.size(); ++i) {
        SCOPED_TRACE(i < std::size(kSteps) ? kSteps[i].what : "close");
        EXPECT_EQ(remote[i], local[i]);
    }
    // The answers came from the server: it opened the file twice and read it.
    EXPECT_EQ(root.server().requestCount(40), 2u);
    EXPECT_GT(root.server().requestCount(63), 10u);
    EXPECT_EQ(root.server().requestCount(39), 1u);  // the session ended with the environment
}

}  // namespace
}  // namespace mdnio::remote
