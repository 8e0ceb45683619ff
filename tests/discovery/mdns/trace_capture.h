// Points the process's trace log at a file of the test's own and reads back
// the messages (the text after each line's header), in order.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "conv_string.h"
#include "trace_log.h"

class CTraceCapture {
public:
    CTraceCapture() {
        char szDir[] = "/tmp/hvl-mdns-trace-XXXXXX";
        m_strDir = mkdtemp(szDir) != nullptr ? szDir : "/tmp";
        const std::string strConf = m_strDir + "/trace.conf";
        m_strFile = m_strDir + "/trace.log";
        std::ofstream(strConf) << "DebugLevel=7\nDebugFile=" << m_strFile << "\n";
        CTraceLog::Instance().Configure(strConf.c_str(), nullptr);
    }
    ~CTraceCapture() {
        CTraceLog::Instance().Configure(nullptr, nullptr);
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }

    // Messages without the date/time/process/thread header, as UTF-8.
    std::vector<std::string> Messages() const {
        std::ifstream in(m_strFile, std::ios::binary);
        std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::u16string wide;
        for (size_t i = 0; i + 1 < raw.size(); i += 2) {
            wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                                 (static_cast<unsigned char>(raw[i + 1]) << 8)));
        }
        if (!wide.empty() && wide[0] == 0xFEFF) {
            wide.erase(0, 1);
        }
        std::vector<std::string> aLines;
        size_t nStart = 0;
        for (;;) {
            size_t nEnd = wide.find(u"\r\n", nStart);
            if (nEnd == std::u16string::npos) {
                break;
            }
            std::string line = Utf16ToUtf8(std::u16string_view(wide).substr(nStart, nEnd - nStart));
            size_t nHeader = line.find("THID:0x");
            if (nHeader != std::string::npos) {
                nHeader = line.find(": ", nHeader);
                line = nHeader != std::string::npos ? line.substr(nHeader + 2) : line;
            }
            aLines.push_back(line);
            nStart = nEnd + 2;
        }
        return aLines;
    }

    // Messages that begin with a prefix (e.g. "MDNS: ").
    std::vector<std::string> With(const std::string& strPrefix) const {
        std::vector<std::string> aOut;
        for (const std::string& s : Messages()) {
            if (s.rfind(strPrefix, 0) == 0 || s.find(strPrefix) != std::string::npos) {
                aOut.push_back(s);
            }
        }
        return aOut;
    }

    // Removes what was written so far.
    void Clear() const { std::ofstream(m_strFile, std::ios::trunc); }

private:
    std::string m_strDir;
    std::string m_strFile;
};
