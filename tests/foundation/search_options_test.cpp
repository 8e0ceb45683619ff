#include "search_options.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <chrono>
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

// Where and how the file is written: replaced atomically where the directory
// allows it, in place where only the file is writable, through a link to its
// target; its mode and owner kept, a stale temporary file of a killed save gone.
TEST(SearchOptions, SaveWritesWhereAndAsTheFileIs) {
    const bool bRoot = geteuid() == 0;
    const uid_t nobody = 65534;
    const struct {
        const char* pszName;
        const char* pszFile;  // the file written, under sub/ when hvl.cfg links to it
        const char* pszLink;  // hvl.cfg links here; "/" + ... is taken under the test's directory
        bool bExists;
        mode_t mode;           // the file's mode before and after
        bool bLockDirectory;   // the directory is read-only for the saving user
        bool bStaleTemporary;  // a killed save left its temporary file
    } cases[] = {
        {"plain file", "hvl.cfg", nullptr, true, 0644, false, false},
        {"mode and owner kept", "hvl.cfg", nullptr, true, 0604, false, false},
        {"read-only directory, writable file", "hvl.cfg", nullptr, true, 0666, true, false},
        {"relative link", "sub/real.cfg", "sub/real.cfg", true, 0640, false, false},
        {"absolute link to a file not there yet", "sub/new.cfg", "/sub/new.cfg", false, 0, false, false},
        {"stale temporary file", "hvl.cfg", nullptr, true, 0644, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszName);
        CTempDir dir;
        const std::string file = dir.File(c.pszFile);
        const std::string link = c.pszLink && c.pszLink[0] == '/' ? dir.Path() + c.pszLink
                                 : c.pszLink                      ? c.pszLink
                                                                  : "";
        if (c.pszLink) {
            ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0700), 0);
            ASSERT_EQ(symlink(link.c_str(), dir.File("hvl.cfg").c_str()), 0);
        }
        if (c.bExists) {
            WriteBytes(file, Le({1, 1, 1}));
            ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
        }
        const bool bChown = bRoot && c.mode == 0604;
        if (bChown) {
            ASSERT_EQ(chown(file.c_str(), nobody, nobody), 0);
        }
        if (c.bStaleTemporary) WriteBytes(file + ".tmp", "left by a killed save");
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
        EXPECT_EQ(ReadBytes(file), Le({1, 0, 1}));
        struct stat st {};
        EXPECT_EQ(stat(file.c_str(), &st), 0);
        if (c.mode != 0) {
            EXPECT_EQ(st.st_mode & 07777, c.mode);
        }
        if (bChown) {
            EXPECT_EQ(st.st_uid, nobody);
        }
        char target[4096] = {};
        EXPECT_EQ(readlink(dir.File("hvl.cfg").c_str(), target, sizeof target - 1) >= 0,
                  c.pszLink != nullptr);
        if (c.pszLink) {
            EXPECT_EQ(std::string(target), link);
        }
        // Nothing else is left behind, in either directory.
        std::vector<std::string> top = Entries(dir.Path());
        std::sort(top.begin(), top.end());
        const std::vector<std::string> expected =
            c.pszLink ? std::vector<std::string>{"hvl.cfg", "sub"} : std::vector<std::string>{"hvl.cfg"};
        EXPECT_EQ(top, expected);
        if (c.pszLink) {
            EXPECT_EQ(Entries(dir.File("sub")), std::vector<std::string>{std::string(c.pszFile).substr(4)});
        }
    }
}

// Links are followed only where the kernel's protected-symlinks rule would
// follow them, and nothing but a regular file is written, never blocking.
TEST(SearchOptions, SaveFollowsOnlyLinksTheKernelWouldToRegularFiles) {
    const uid_t self = geteuid();
    const uid_t nobody = 65534;
    enum class Target { FILE, FIFO };
    const struct {
        const char* pszName;
        mode_t dirMode;  // of the directory that holds hvl.cfg
        uid_t dirOwner;
        uid_t linkOwner;  // hvl.cfg is a link to ../victim unless bNoLink
        bool bNoLink;     // hvl.cfg is the target itself
        Target target;
        bool bSaved;
    } cases[] = {
        {"own link in a sticky shared directory", 01777, self, self, false, Target::FILE, true},
        {"another user's link in a sticky shared directory", 01777, self, nobody, false, Target::FILE, false},
        {"the directory owner's link in a sticky shared directory", 01777, nobody, nobody, false,
         Target::FILE, true},
        {"another user's link, directory not sticky", 0777, self, nobody, false, Target::FILE, true},
        {"link to a FIFO", 0755, self, self, false, Target::FIFO, false},
        {"hvl.cfg is a FIFO", 0755, self, self, true, Target::FIFO, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszName);
        if ((c.dirOwner != self || c.linkOwner != self) && self != 0) {
            continue;  // only root can make another user's files
        }
        CTempDir dir;
        const std::string shared = dir.File("shared");
        const std::string victim = c.bNoLink ? shared + "/hvl.cfg" : dir.File("victim");
        ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
        if (c.target == Target::FIFO) {
            ASSERT_EQ(mkfifo(victim.c_str(), 0600), 0);
        } else {
            WriteBytes(victim, Le({1, 1, 1}));
        }
        if (!c.bNoLink) {
            ASSERT_EQ(symlink(victim.c_str(), (shared + "/hvl.cfg").c_str()), 0);
            ASSERT_EQ(lchown((shared + "/hvl.cfg").c_str(), c.linkOwner, c.linkOwner), 0);
        }
        ASSERT_EQ(chown(shared.c_str(), c.dirOwner, c.dirOwner), 0);
        ASSERT_EQ(chmod(shared.c_str(), c.dirMode), 0);

        CCapturedTrace trace;
        SearchOptions options;
        options.bMdnsEnabled = 0;
        const auto tStart = std::chrono::steady_clock::now();
        EXPECT_EQ(options.Save(shared.c_str()), c.bSaved ? 1 : 0);
        EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::milliseconds(500));
        struct stat st {};
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        if (c.target == Target::FIFO) {
            EXPECT_TRUE(S_ISFIFO(st.st_mode));
        } else {
            EXPECT_EQ(ReadBytes(victim), c.bSaved ? Le({1, 0, 1}) : Le({1, 1, 1}));
        }
        EXPECT_EQ(trace.Text().ends_with(SAVE_FAILED), !c.bSaved);
    }
}
