#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "trace_log.h"

// Threads of one process share the message buffer: lines of varied length,
// some growing the buffer, come out whole, and each thread's in order.
TEST(TraceLogThreads, ConcurrentMessagesStayWhole) {
    CTempDir dir;
    const std::string logPath = dir.File("threads.log");
    const std::string conf = dir.File("machine.conf");
    WriteBytes(conf, "DebugLevel=4\nDebugFile=" + logPath + "\n");
    CTraceLog log(conf.c_str(), nullptr);
    constexpr int THREADS = 4;
    constexpr int LINES = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < LINES; ++i) {
                const std::u16string payload(static_cast<size_t>(1 + (i * 53 + t) % 1500),
                                             static_cast<char16_t>(u'a' + t));
                log.Trace(TRACE_INFO, nullptr, u"thread %d line %d: %s|", t, i, payload);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::string text = ReadTraceText(logPath);
    int next[THREADS] = {};
    size_t pos = 0;
    int count = 0;
    while (pos < text.size()) {
        const size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        const size_t at = line.find("thread ");
        ASSERT_NE(at, std::string::npos);
        int t = -1;
        int i = -1;
        int used = 0;
        ASSERT_EQ(sscanf(line.c_str() + at, "thread %d line %d: %n", &t, &i, &used), 2);
        ASSERT_TRUE(t >= 0 && t < THREADS);
        EXPECT_EQ(i, next[t]++);
        EXPECT_EQ(
            line.substr(at + static_cast<size_t>(used)),
            std::string(static_cast<size_t>(1 + (i * 53 + t) % 1500), static_cast<char>('a' + t)) + "|");
        ++count;
    }
    EXPECT_EQ(count, THREADS * LINES);
    EXPECT_EQ(log.GetMessageBufferSize(), 3072u);
}
