#include "search_options.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <string>
#include <vector>

#include "test_util.h"
#include "trace_log.h"

namespace {

std::string Le(std::initializer_list<uint32_t> values) {
    std::string bytes;
    for (uint32_t v : values) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<char>(v >> (8 * i)));
        }
    }
    return bytes;
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    return names;
}

// Sends the process-wide trace log to a file of the test's own while alive.
class CCapturedTrace {
public:
    CCapturedTrace() {
        const std::string conf = m_dir.File("trace.conf");
        WriteBytes(conf, "DebugLevel=1\nDebugFile=" + m_dir.File("trace.log") + "\n");
        CTraceLog::Instance().Configure(conf.c_str(), nullptr);
    }
    ~CCapturedTrace() { CTraceLog::Instance().Configure(nullptr, nullptr); }
    std::string Text() const { return ReadTraceText(m_dir.File("trace.log")); }

private:
    CTempDir m_dir;
};

const char* const LOAD_FAILED = "[ERROR] Loading configuration from file 'hvl.cfg' failed.\r\n";
const char* const SAVE_FAILED = "[ERROR] Saving configuration to file 'hvl.cfg' failed.\r\n";

}  // namespace

TEST(SearchOptions, LoadThenSaveRoundTrips) {
    struct Case {
        const char* pszName;
        bool bExists;
        std::string strContent;
        int32_t nLoadResult;
        int32_t bMdns;
        int32_t bUpnp;
    };
    const Case cases[] = {
        {"missing", false, "", 0, 1, 1},
        {"empty", true, "", 1, 1, 1},
        {"mDNS off, UPnP off", true, Le({1, 1, 0}), 1, 1, 0},
        {"8 bytes", true, Le({1, 0}), 1, 0, 1},
        {"20 bytes", true, Le({1, 0, 0, 9, 9}), 1, 0, 0},
        {"version 7", true, Le({7, 0, 1}), 1, 0, 1},
        {"stored 2 kept", true, Le({1, 2, 1}), 1, 2, 1},
        // Bytes the file lacks leave the fields' bytes as they were.
        {"6 bytes", true, Le({1}) + std::string("\x00\x00", 2), 1, 0x00000000, 1},
        {"10 bytes", true, Le({1, 0x01020304}) + std::string("\x00\x00", 2), 1, 0x01020304, 0},
        {"9 bytes", true, Le({1, 0xFFFFFFFF}) + std::string("\x02", 1), 1, -1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CTempDir dir;
        const std::string file = dir.File("hvl.cfg");
        if (c.bExists) {
            WriteBytes(file, c.strContent);
        }
        CCapturedTrace trace;
        SearchOptions options;
        EXPECT_EQ(options.Load(dir.Path().c_str()), c.nLoadResult);
        EXPECT_EQ(options.bMdnsEnabled, c.bMdns);
        EXPECT_EQ(options.bUpnpEnabled, c.bUpnp);
        EXPECT_EQ(trace.Text().ends_with(LOAD_FAILED), c.nLoadResult == 0) << trace.Text();

        EXPECT_EQ(options.Save(dir.Path().c_str()), 1);
        EXPECT_EQ(ReadBytes(file), Le({1, static_cast<uint32_t>(c.bMdns), static_cast<uint32_t>(c.bUpnp)}));
        EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"hvl.cfg"}) << "no temporary file is left";
    }
}

TEST(SearchOptions, UsesTheCurrentDirectoryByDefault) {
    CTempDir dir;
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    WriteBytes("hvl.cfg", Le({1, 0, 1}));
    SearchOptions options;
    EXPECT_EQ(options.Load(), 1);
    EXPECT_EQ(options.bMdnsEnabled, 0);
    options.bUpnpEnabled = 0;
    EXPECT_EQ(options.Save(), 1);
    EXPECT_EQ(ReadBytes("hvl.cfg"), Le({1, 0, 0}));
    ASSERT_EQ(chdir(saved), 0);
}

TEST(SearchOptions, ReadErrorAfterOpenIsAFailure) {
    CTempDir dir;
    // Opening a directory for reading succeeds; reading it fails.
    ASSERT_EQ(mkdir(dir.File("hvl.cfg").c_str(), 0700), 0);
    CCapturedTrace trace;
    SearchOptions options;
    options.bMdnsEnabled = 3;
    EXPECT_EQ(options.Load(dir.Path().c_str()), 0);
    EXPECT_EQ(options.bMdnsEnabled, 3);
    EXPECT_EQ(options.bUpnpEnabled, 1);
    EXPECT_TRUE(trace.Text().ends_with(LOAD_FAILED));
}

TEST(SearchOptions, FailedSaveKeepsThePreviousFile) {
    const std::string previous = Le({1, 0, 1});
    // The write is cut short by a file-size limit of 4 bytes, which holds even
    // for root; it runs in a child so the limit stays there. The limit stops
    // the trace line too, so the error line is checked in the cases below.
    {
        CTempDir dir;
        WriteBytes(dir.File("hvl.cfg"), previous);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{4, 4};
            setrlimit(RLIMIT_FSIZE, &limit);
            SearchOptions options;
            options.bUpnpEnabled = 0;
            _exit(options.Save(dir.Path().c_str()) == 0 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "a short write must not report success";
        EXPECT_EQ(ReadBytes(dir.File("hvl.cfg")), previous);
        EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"hvl.cfg"});
    }
    // A directory that does not exist: nothing can be created.
    {
        CTempDir dir;
        CCapturedTrace trace;
        SearchOptions options;
        EXPECT_EQ(options.Save(dir.File("missing").c_str()), 0);
        EXPECT_TRUE(trace.Text().ends_with(SAVE_FAILED));
    }
    // "hvl.cfg" is a directory: the rename over it fails, the temporary goes.
    {
        CTempDir dir;
        ASSERT_EQ(mkdir(dir.File("hvl.cfg").c_str(), 0700), 0);
        CCapturedTrace trace;
        SearchOptions options;
        EXPECT_EQ(options.Save(dir.Path().c_str()), 0);
        EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"hvl.cfg"});
        EXPECT_TRUE(trace.Text().ends_with(SAVE_FAILED));
    }
}
