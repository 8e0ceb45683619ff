// A provider whose search body is a function the test supplies, and a trace
// log pointed at a file of the test's own.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "multicast_data_provider.h"
#include "trace_log.h"

class CTestProvider : public CMulticastDataProvider {
public:
    using Body = std::function<void(CTestProvider&)>;

    CTestProvider(std::u16string strName, Body fnBody,
                  std::chrono::milliseconds timeLimit = std::chrono::seconds(30),
                  int32_t nKind = PROVIDER_KIND_UPNP)
        : CMulticastDataProvider({u"test"}, u"", nKind, std::move(strName), timeLimit),
          m_fnBody(std::move(fnBody)) {}
    ~CTestProvider() override { StopAndJoin(); }

    int32_t IsAvailable() override { return 1; }

    // The protected helpers, opened to the bodies.
    using CMulticastDataProvider::AppendPacket;
    using CMulticastDataProvider::GetStopFd;
    using CMulticastDataProvider::IsStopRequested;
    using CMulticastDataProvider::LockPackets;
    using CMulticastDataProvider::PacketCountLocked;
    using CMulticastDataProvider::ReadPacket;
    using CMulticastDataProvider::SetStatus;
    using CMulticastDataProvider::SetStopWaker;
    using CMulticastDataProvider::StopAndJoin;
    using CMulticastDataProvider::UnlockPackets;
    using CMulticastDataProvider::UpdatePacket;
    using CMulticastDataProvider::WaitForStop;

    // Makes the next starts of the search (or control) thread fail.
    int32_t m_nFailSearchStart = 0;
    int32_t m_nFailControlStart = 0;

    std::atomic<int> m_nRuns{0};

protected:
    void Search() override {
        ++m_nRuns;
        if (m_fnBody) {
            m_fnBody(*this);
        }
    }
    int32_t SimulateThreadStartFailure(bool bControlThread) const override {
        return bControlThread ? m_nFailControlStart : m_nFailSearchStart;
    }

private:
    Body m_fnBody;
};

inline MulticastDataPacket MakePacket(const std::u16string& strName, const std::u16string& strIp,
                                      const std::u16string& strUrl, bool bComplete) {
    MulticastDataPacket packet;
    packet.strName = strName;
    packet.strIpAddress = strIp;
    packet.strUrl = strUrl;
    packet.bComplete = bComplete ? 1 : 0;
    return packet;
}

// Appends under the packet lock, as the providers do.
inline int32_t AppendLocked(CTestProvider& provider, const MulticastDataPacket& packet) {
    provider.LockPackets();
    int32_t nIndex = provider.AppendPacket(packet);
    provider.UnlockPackets();
    return nIndex;
}

// Polls until pred holds or the time runs out.
template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout) {
    const auto tEnd = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > tEnd) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The process-wide trace log, writing every level to a file of this test.
class CTraceCapture {
public:
    CTraceCapture() {
        char szTemplate[] = "/tmp/hvl-provider-test-XXXXXX";
        const char* pszDir = mkdtemp(szTemplate);
        m_dir = pszDir != nullptr ? pszDir : "/tmp";
        m_strTraceFile = (m_dir / "trace.log").string();
        const std::string strKeyFile = (m_dir / "PrinterLocator.conf").string();
        std::ofstream(strKeyFile) << "DebugLevel=5\nDebugFile=" << m_strTraceFile << "\n";
        CTraceLog::Instance().Configure(strKeyFile.c_str(), nullptr);
    }
    ~CTraceCapture() {
        CTraceLog::Instance().Configure(nullptr, nullptr);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    struct Line {
        unsigned nThreadId = 0;
        std::string strText;  // after the header, with the "[ERROR] " tag if any
    };

    // The lines written so far, in order; only those starting with prefix.
    std::vector<Line> Lines(const std::string& strPrefix = "") const {
        std::ifstream in(m_strTraceFile, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::u16string wide;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                 (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        }
        const std::string text = Utf16ToUtf8(wide);
        std::vector<Line> lines;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t eol = text.find("\r\n", pos);
            if (eol == std::string::npos) {
                eol = text.size();
            }
            const std::string raw = text.substr(pos, eol - pos);
            pos = eol + 2;
            const size_t nThid = raw.find("THID:0x");
            if (nThid == std::string::npos) {
                continue;
            }
            const size_t nSep = raw.find(": ", nThid);
            if (nSep == std::string::npos) {
                continue;
            }
            Line line;
            line.nThreadId =
                static_cast<unsigned>(std::stoul(raw.substr(nThid + 7, nSep - nThid - 7), nullptr, 16));
            line.strText = raw.substr(nSep + 2);
            std::string body = line.strText;
            if (body.rfind("[ERROR] ", 0) == 0) {
                body = body.substr(8);
            }
            if (body.rfind(strPrefix, 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    std::vector<std::string> Texts(const std::string& strPrefix = "") const {
        std::vector<std::string> texts;
        for (const Line& line : Lines(strPrefix)) {
            texts.push_back(line.strText);
        }
        return texts;
    }

private:
    std::filesystem::path m_dir;
    std::string m_strTraceFile;
};
