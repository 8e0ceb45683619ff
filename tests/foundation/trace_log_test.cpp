#include "trace_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// Writes a machine-wide key file naming the given level and trace file.
std::string MachineConfig(const CTempDir& dir, const std::string& level, const std::string& file) {
    const std::string path = dir.File("machine.conf");
    WriteBytes(path, "DebugLevel=" + level + "\nDebugFile=" + file + "\n");
    return path;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos) + "<unterminated>");
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

std::string Header(time_t t) {
    tm local;
    localtime_r(&t, &local);
    char buf[64];
    snprintf(buf, sizeof buf, "%.2d.%.2d.%.4d %.2d:%.2d:%.2d PID:0x%04X THID:0x%04X: ", local.tm_mday,
             local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<unsigned>(getpid()), static_cast<unsigned>(gettid()));
    return buf;
}

}  // namespace

// Configures the process-wide log while other static objects are constructed:
// this only sticks when the log itself was constructed before them. What the
// log holds is taken when main has started, before any test changes it.
static CTempDir s_earlyDir;
static uint32_t s_nEarlyMask = 0;
static std::string s_strEarlyPath;
static std::string s_strEarlyText;

class CEarlyCheck : public testing::Environment {
public:
    void SetUp() override {
        s_nEarlyMask = CTraceLog::Instance().GetLevelMask();
        s_strEarlyPath = CTraceLog::Instance().GetFilePath();
        TraceMessage(TRACE_INFO, nullptr, u"%s started.", u"hvl");
        s_strEarlyText = ReadTraceText(s_earlyDir.File("early.log"));
        CTraceLog::Instance().Configure(nullptr, nullptr);
    }
};

static struct EarlyConfigure {
    EarlyConfigure() {
        const std::string conf = s_earlyDir.File("early.conf");
        WriteBytes(conf, "DebugLevel=7\nDebugFile=" + s_earlyDir.File("early.log") + "\n");
        CTraceLog::Instance().Configure(conf.c_str(), nullptr);
        testing::AddGlobalTestEnvironment(new CEarlyCheck);
    }
} s_earlyConfigure;

TEST(TraceLogLifetime, ConstructedBeforeOtherStaticObjects) {
    EXPECT_EQ(s_nEarlyMask, 7u);
    EXPECT_EQ(s_strEarlyPath, s_earlyDir.File("early.log"));
    EXPECT_TRUE(s_strEarlyText.ends_with(" hvl started.\r\n")) << s_strEarlyText;
}

TEST(TraceLogConfig, PrecedenceAndTypes) {
    struct Case {
        const char* pszName;
        const char* pszMachine;  // null: the file does not exist
        const char* pszUser;
        uint32_t nMask;
    };
    // "@" stands for the trace file's path.
    const Case cases[] = {
        {"no files", nullptr, nullptr, 0},
        {"machine only", "DebugLevel=5\nDebugFile=@\n", nullptr, 5},
        {"user only", nullptr, "DebugLevel=0x4\nDebugFile=@\n", 4},
        {"machine wins", "DebugLevel=1\nDebugFile=@\n", "DebugLevel=4\nDebugFile=@\n", 1},
        {"machine lacks level, user ignored", "DebugFile=@\n", "DebugLevel=4\nDebugFile=@\n", 0},
        {"machine empty, user ignored", "", "DebugLevel=4\nDebugFile=@\n", 0},
        {"groups, comments, CRLF, blanks",
         "[General]\r\n# note\r\n; note\r\n DebugLevel = 0x0A \r\nDebugFile=@\r\n", nullptr, 10},
        {"largest level", "DebugLevel=4294967295\nDebugFile=@\n", nullptr, 0xFFFFFFFF},
        {"hex upper case", "DebugLevel=0XfF\nDebugFile=@\n", nullptr, 255},
        {"level zero", "DebugLevel=0\nDebugFile=@\n", nullptr, 0},
        {"level text", "DebugLevel=five\nDebugFile=@\n", nullptr, 0},
        {"level negative", "DebugLevel=-1\nDebugFile=@\n", nullptr, 0},
        {"level too large", "DebugLevel=4294967296\nDebugFile=@\n", nullptr, 0},
        {"hex too large", "DebugLevel=0x100000000\nDebugFile=@\n", nullptr, 0},
        {"hex without digits", "DebugLevel=0x\nDebugFile=@\n", nullptr, 0},
        {"level empty", "DebugLevel=\nDebugFile=@\n", nullptr, 0},
        {"level with suffix", "DebugLevel=5x\nDebugFile=@\n", nullptr, 0},
        {"file empty", "DebugLevel=5\nDebugFile=\n", nullptr, 0},
        {"file missing", "DebugLevel=5\n", nullptr, 0},
        {"keys are case-sensitive", "debuglevel=5\ndebugfile=@\n", nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CTempDir dir;
        const std::string logPath = dir.File("trace.log");
        auto expand = [&](std::string text) {
            for (size_t at; (at = text.find('@')) != std::string::npos;) {
                text.replace(at, 1, logPath);
            }
            return text;
        };
        const std::string machine = dir.File("machine.conf");
        const std::string user = dir.File("user.conf");
        if (c.pszMachine) {
            WriteBytes(machine, expand(c.pszMachine));
        }
        if (c.pszUser) {
            WriteBytes(user, expand(c.pszUser));
        }
        CTraceLog log(machine.c_str(), user.c_str());
        EXPECT_EQ(log.GetLevelMask(), c.nMask);
        log.Trace(0xFFFFFFFF, nullptr, u"probe");
        EXPECT_EQ(FileExists(logPath), c.nMask != 0);
        if (c.nMask != 0) {
            EXPECT_EQ(log.GetFilePath(), logPath);
            EXPECT_EQ(log.GetMessageBufferSize(), 1024u);
        }
    }
}

TEST(TraceLogConfig, UnreadableMachineFileDoesNotFallBack) {
    CTempDir dir;
    const std::string user = dir.File("user.conf");
    WriteBytes(user, "DebugLevel=4\nDebugFile=" + dir.File("t.log") + "\n");
    // A directory where the machine file should be: it exists, but is no key file.
    CTraceLog log(dir.Path().c_str(), user.c_str());
    EXPECT_EQ(log.GetLevelMask(), 0u);
    // A missing parent directory counts as absent.
    CTraceLog fallback(dir.File("none/machine.conf").c_str(), user.c_str());
    EXPECT_EQ(fallback.GetLevelMask(), 4u);
}

TEST(TraceLogLines, HeaderTagsAndLevelMasking) {
    struct Case {
        uint32_t nMask;
        uint32_t nLevel;
        const char* pszTag;  // null: no line
    };
    const Case cases[] = {
        {1, TRACE_ERROR, "[ERROR] "}, {1, TRACE_INFO, nullptr},
        {1, TRACE_WARNING, nullptr},  {4, TRACE_INFO, ""},
        {4, TRACE_ERROR, nullptr},    {5, TRACE_ERROR, "[ERROR] "},
        {5, TRACE_INFO, ""},          {2, TRACE_WARNING, "[WARN] "},
        {2, TRACE_ERROR, nullptr},    {7, 3, ""},  // several bits: written, but untagged
        {0xFFFFFFFF, 6, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mask " << c.nMask << " level " << c.nLevel);
        CTempDir dir;
        const std::string logPath = dir.File("trace.log");
        const std::string conf = MachineConfig(dir, std::to_string(c.nMask), logPath);
        CTraceLog log(conf.c_str(), nullptr);
        const time_t before = time(nullptr);
        log.Trace(c.nLevel, nullptr, u"Loading configuration from file '%s' failed.", u"hvl.cfg");
        const time_t after = time(nullptr);
        if (c.pszTag == nullptr) {
            EXPECT_FALSE(FileExists(logPath));
            continue;
        }
        const std::string text = ReadTraceText(logPath);
        const std::string body =
            std::string(c.pszTag) + "Loading configuration from file 'hvl.cfg' failed.\r\n";
        EXPECT_TRUE(text == Header(before) + body || text == Header(after) + body) << text;
    }
}

TEST(TraceLogLines, SourcePrecedesTag) {
    CTempDir dir;
    const std::string logPath = dir.File("trace.log");
    const std::string conf = MachineConfig(dir, "3", logPath);
    CTraceLog log(conf.c_str(), nullptr);
    log.Trace(TRACE_ERROR, u"MDNS", u"(0x%08X)", 0x80004005u);
    log.Trace(TRACE_WARNING, u"", u"w");
    const std::vector<std::string> lines = SplitLines(ReadTraceText(logPath));
    ASSERT_EQ(lines.size(), 2u);
    const std::regex header(
        "^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d PID:0x[0-9A-F]{4,} THID:0x[0-9A-F]{4,}: ");
    EXPECT_TRUE(std::regex_search(lines[0], header));
    EXPECT_EQ(lines[0].substr(lines[0].find(": ") + 2), "MDNS: [ERROR] (0x80004005)");
    EXPECT_EQ(lines[1].substr(lines[1].find(": ") + 2), ": [WARN] w");
}

TEST(TraceLogLines, MessageBufferGrowsInSteps) {
    struct Case {
        size_t nChars;
        size_t nBufferAfter;
    };
    // 511 characters fit the first 1024 bytes; every 512 more need one more step.
    const Case cases[] = {{100, 1024},  {511, 1024},  {512, 2048}, {100, 2048},
                          {1023, 2048}, {1024, 3072}, {3000, 6144}};
    CTempDir dir;
    const std::string logPath = dir.File("trace.log");
    const std::string conf = MachineConfig(dir, "4", logPath);
    CTraceLog log(conf.c_str(), nullptr);
    EXPECT_EQ(log.GetMessageBufferSize(), 1024u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nChars);
        const std::u16string message(c.nChars, u'm');
        log.Trace(TRACE_INFO, nullptr, u"%s", message);
        EXPECT_EQ(log.GetMessageBufferSize(), c.nBufferAfter);
        const std::vector<std::string> lines = SplitLines(ReadTraceText(logPath));
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines.back().ends_with(": " + std::string(c.nChars, 'm')));
    }
    // Reconfiguring starts the buffer over.
    log.Configure(conf.c_str(), nullptr);
    EXPECT_EQ(log.GetMessageBufferSize(), 1024u);
}

TEST(TraceLogFile, ByteOrderMarkOnlyOnNewOrEmptyFile) {
    struct Case {
        const char* pszName;
        bool bExists;
        std::string strExisting;
        bool bBom;
    };
    const Case cases[] = {
        {"new file", false, "", true},
        {"empty file", true, "", true},
        {"existing log", true, std::string("\xFF\xFEx\0", 4), false},
        {"foreign content", true, "ab", false},
    };
    const std::string lastLine("t\0w\0o\0\r\0\n\0", 10);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CTempDir dir;
        const std::string logPath = dir.File("trace.log");
        if (c.bExists) {
            WriteBytes(logPath, c.strExisting);
        }
        const std::string conf = MachineConfig(dir, "4", logPath);
        CTraceLog log(conf.c_str(), nullptr);
        log.Trace(TRACE_INFO, nullptr, u"one");
        log.Trace(TRACE_INFO, nullptr, u"two");
        const std::string bytes = ReadBytes(logPath);
        ASSERT_EQ(bytes.compare(0, c.strExisting.size(), c.strExisting), 0)
            << "existing bytes are only appended to";
        const std::string added = bytes.substr(c.strExisting.size());
        EXPECT_EQ(added.compare(0, 2, "\xFF\xFE") == 0, c.bBom);
        // One mark at most: the second line never gets one.
        EXPECT_EQ(added.find("\xFF\xFE", 2), std::string::npos);
        EXPECT_TRUE(added.ends_with(lastLine));
    }
}

TEST(TraceLogFile, NewFileOpenToEveryoneExistingKeepsMode) {
    CTempDir dir;
    const mode_t saved = umask(022);
    const std::string fresh = dir.File("fresh.log");
    const std::string kept = dir.File("kept.log");
    WriteBytes(kept, "");
    chmod(kept.c_str(), 0640);
    for (const std::string& path : {fresh, kept}) {
        const std::string conf = MachineConfig(dir, "4", path);
        CTraceLog log(conf.c_str(), nullptr);
        log.Trace(TRACE_INFO, nullptr, u"x");
    }
    umask(saved);
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    ASSERT_EQ(stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(TraceLogFile, UnusablePathsDropTheLineOnly) {
    CTempDir dir;
    // A symbolic link is not followed, and its target stays untouched.
    const std::string target = dir.File("target");
    WriteBytes(target, "keep");
    const std::string link = dir.File("link.log");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    {
        const std::string conf = MachineConfig(dir, "4", link);
        CTraceLog log(conf.c_str(), nullptr);
        log.Trace(TRACE_INFO, nullptr, u"x");
        EXPECT_EQ(log.GetLevelMask(), 4u);
    }
    EXPECT_EQ(ReadBytes(target), "keep");

    // A FIFO does not block the caller and receives nothing.
    const std::string fifo = dir.File("fifo.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    {
        const std::string conf = MachineConfig(dir, "4", fifo);
        CTraceLog log(conf.c_str(), nullptr);
        log.Trace(TRACE_INFO, nullptr, u"x");
    }

    // A missing directory drops every line; once it exists, lines arrive again.
    const std::string later = dir.File("later/trace.log");
    const std::string conf = MachineConfig(dir, "4", later);
    CTraceLog log(conf.c_str(), nullptr);
    log.Trace(TRACE_INFO, nullptr, u"lost");
    EXPECT_EQ(log.GetLevelMask(), 4u);
    ASSERT_EQ(mkdir(dir.File("later").c_str(), 0700), 0);
    log.Trace(TRACE_INFO, nullptr, u"found");
    const std::string text = ReadTraceText(later);
    EXPECT_EQ(text.find("lost"), std::string::npos);
    EXPECT_NE(text.find("found\r\n"), std::string::npos);
}

// Two processes, each with many lines of varied length, write one file at once.
TEST(TraceLogFile, TwoProcessesKeepEveryLineWhole) {
    CTempDir dir;
    const std::string logPath = dir.File("shared.log");
    const std::string conf = MachineConfig(dir, "5", logPath);
    constexpr int LINES = 400;
    pid_t children[2];
    for (int child = 0; child < 2; ++child) {
        children[child] = fork();
        ASSERT_GE(children[child], 0);
        if (children[child] == 0) {
            CTraceLog log(conf.c_str(), nullptr);
            for (int i = 0; i < LINES; ++i) {
                const std::u16string payload(static_cast<size_t>(1 + (i * 37) % 900), child ? u'b' : u'a');
                log.Trace(i % 2 ? TRACE_INFO : TRACE_ERROR, nullptr, u"child %d line %d: %s|", child, i,
                          payload);
            }
            _exit(0);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string bytes = ReadBytes(logPath);
    ASSERT_EQ(bytes.compare(0, 2, "\xFF\xFE"), 0);
    EXPECT_EQ(bytes.find("\xFF\xFE", 2), std::string::npos);
    const std::vector<std::string> lines = SplitLines(ReadTraceText(logPath));
    ASSERT_EQ(lines.size(), 2u * LINES);
    const std::regex header(
        "^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d PID:0x[0-9A-F]{4,} THID:0x[0-9A-F]{4,}: (\\[ERROR\\] "
        ")?$");
    int next[2] = {0, 0};
    for (const std::string& line : lines) {
        const size_t at = line.find("child ");
        ASSERT_NE(at, std::string::npos) << line.substr(0, 120);
        std::smatch m;
        const std::string prefix = line.substr(0, at);
        ASSERT_TRUE(std::regex_match(prefix, m, header)) << prefix;
        int child = -1;
        int i = -1;
        int used = 0;
        ASSERT_EQ(sscanf(line.c_str() + at, "child %d line %d: %n", &child, &i, &used), 2)
            << line.substr(0, 120);
        ASSERT_TRUE(child == 0 || child == 1);
        EXPECT_EQ(i, next[child]++) << "each process's lines stay in order";
        EXPECT_EQ(m[1].matched, i % 2 == 0);
        const std::string payload = line.substr(at + static_cast<size_t>(used));
        EXPECT_EQ(payload, std::string(static_cast<size_t>(1 + (i * 37) % 900), child ? 'b' : 'a') + "|");
    }
    EXPECT_EQ(next[0], LINES);
    EXPECT_EQ(next[1], LINES);
}

// Another process (any user may) holds the file's lock: a message waits at
// most the bound and its line is lost; the next ones do not wait it again.
TEST(TraceLogFile, LockHeldElsewhereCostsOneBoundAtMost) {
    using Clock = std::chrono::steady_clock;
    CTempDir dir;
    const std::string logPath = dir.File("held.log");
    const std::string conf = MachineConfig(dir, "4", logPath);
    CTraceLog log(conf.c_str(), nullptr);
    log.Trace(TRACE_INFO, nullptr, u"before");
    int aHeld[2];
    int aRelease[2];
    ASSERT_EQ(pipe(aHeld), 0);
    ASSERT_EQ(pipe(aRelease), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = open(logPath.c_str(), O_RDONLY);
        const bool bHeld = fd >= 0 && flock(fd, LOCK_EX) == 0;
        char c = bHeld ? 'h' : 'x';
        [[maybe_unused]] ssize_t n = write(aHeld[1], &c, 1);
        close(aRelease[1]);
        n = read(aRelease[0], &c, 1);  // until the parent closes its end
        _exit(0);
    }
    close(aHeld[1]);
    close(aRelease[0]);
    char c = 0;
    ASSERT_EQ(read(aHeld[0], &c, 1), 1);
    ASSERT_EQ(c, 'h');

    const Clock::time_point t0 = Clock::now();
    log.Trace(TRACE_INFO, nullptr, u"held once");
    const Clock::time_point t1 = Clock::now();
    log.Trace(TRACE_INFO, nullptr, u"held twice");
    const Clock::time_point t2 = Clock::now();
    EXPECT_GE(t1 - t0, std::chrono::milliseconds(900));
    EXPECT_LT(t1 - t0, std::chrono::milliseconds(1500));
    EXPECT_LT(t2 - t1, std::chrono::milliseconds(100));

    close(aRelease[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(aHeld[0]);
    log.Trace(TRACE_INFO, nullptr, u"after");
    const std::string text = ReadTraceText(logPath);
    EXPECT_NE(text.find("before\r\n"), std::string::npos);
    EXPECT_EQ(text.find("held"), std::string::npos);
    EXPECT_NE(text.find("after\r\n"), std::string::npos);
}
