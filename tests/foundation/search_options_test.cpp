#include "search_options.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <functional>
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

// Every name under dir, relative and sorted; links are not followed.
std::vector<std::string> Tree(const std::string& dir, const std::string& prefix = "") {
    std::vector<std::string> names;
    for (const std::string& name : Entries(dir)) {
        names.push_back(prefix + name);
        struct stat st {};
        if (lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            for (const std::string& sub : Tree(dir + "/" + name, prefix + name + "/")) names.push_back(sub);
        }
    }
    std::sort(names.begin(), names.end());
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

// Where and how the file is written: replaced atomically where the directory
// allows it, in place where only the file is writable, through a link to its
// target; its mode and owner kept, a stale temporary file of a killed save gone.
TEST(SearchOptions, SaveWritesWhereAndAsTheFileIs) {
    const std::string previous = Le({1, 1, 1});
    const std::string saved = Le({1, 0, 1});
    const bool bRoot = geteuid() == 0;
    const uid_t nobody = 65534;
    struct Case {
        const char* pszName;
        std::function<void(const std::string& dir)> fnSetUp;
        bool bLockDirectory;        // the directory is read-only for the saving user
        const char* pszWritten;     // where the content lands
        mode_t mode;                // its mode afterwards; 0: not checked
        const char* pszLinkTarget;  // what hvl.cfg links to afterwards; null: not a link
        std::vector<std::string> tree;
    };
    const Case cases[] = {
        {"plain file",
         [&](const std::string& dir) { WriteBytes(dir + "/hvl.cfg", previous); },
         false,
         "hvl.cfg",
         0,
         nullptr,
         {"hvl.cfg"}},
        {"mode and owner kept",
         [&](const std::string& dir) {
             WriteBytes(dir + "/hvl.cfg", previous);
             chmod((dir + "/hvl.cfg").c_str(), 0604);
             if (bRoot) {
                 ASSERT_EQ(chown((dir + "/hvl.cfg").c_str(), nobody, nobody), 0);
             }
         },
         false,
         "hvl.cfg",
         0604,
         nullptr,
         {"hvl.cfg"}},
        {"read-only directory, writable file",
         [&](const std::string& dir) {
             WriteBytes(dir + "/hvl.cfg", previous);
             chmod((dir + "/hvl.cfg").c_str(), 0666);
         },
         true,
         "hvl.cfg",
         0666,
         nullptr,
         {"hvl.cfg"}},
        {"relative link",
         [&](const std::string& dir) {
             mkdir((dir + "/sub").c_str(), 0700);
             WriteBytes(dir + "/sub/real.cfg", previous);
             chmod((dir + "/sub/real.cfg").c_str(), 0640);
             ASSERT_EQ(symlink("sub/real.cfg", (dir + "/hvl.cfg").c_str()), 0);
         },
         false,
         "sub/real.cfg",
         0640,
         "sub/real.cfg",
         {"hvl.cfg", "sub", "sub/real.cfg"}},
        {"absolute link to a file not there yet",
         [&](const std::string& dir) {
             mkdir((dir + "/abs").c_str(), 0700);
             ASSERT_EQ(symlink((dir + "/abs/new.cfg").c_str(), (dir + "/hvl.cfg").c_str()), 0);
         },
         false,
         "abs/new.cfg",
         0,
         "/abs/new.cfg",
         {"abs", "abs/new.cfg", "hvl.cfg"}},
        {"stale temporary file",
         [&](const std::string& dir) {
             WriteBytes(dir + "/hvl.cfg", previous);
             WriteBytes(dir + "/hvl.cfg.tmp", "left by a killed save");
         },
         false,
         "hvl.cfg",
         0,
         nullptr,
         {"hvl.cfg"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CTempDir dir;
        c.fnSetUp(dir.Path());
        if (c.bLockDirectory) {
            ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
        }
        SearchOptions options;
        options.bMdnsEnabled = 0;
        if (c.bLockDirectory && bRoot) {
            // Directory permissions do not stop root: save as an ordinary user.
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                const bool bDropped = setgid(nobody) == 0 && setuid(nobody) == 0;
                _exit(bDropped && options.Save(dir.Path().c_str()) == 1 ? 0 : 1);
            }
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        } else {
            EXPECT_EQ(options.Save(dir.Path().c_str()), 1);
        }
        const std::string written = dir.File(c.pszWritten);
        EXPECT_EQ(ReadBytes(written), saved);
        struct stat st {};
        ASSERT_EQ(stat(written.c_str(), &st), 0);
        if (c.mode != 0) {
            EXPECT_EQ(st.st_mode & 07777, c.mode);
        }
        if (bRoot && std::string(c.pszName) == "mode and owner kept") {
            EXPECT_EQ(st.st_uid, nobody);
        }
        char link[4096] = {};
        const ssize_t n = readlink(dir.File("hvl.cfg").c_str(), link, sizeof link - 1);
        if (c.pszLinkTarget == nullptr) {
            EXPECT_LT(n, 0) << "hvl.cfg is still a plain file";
        } else {
            EXPECT_TRUE(std::string(link).ends_with(c.pszLinkTarget)) << link;
        }
        EXPECT_EQ(Tree(dir.Path()), c.tree);
    }
}
