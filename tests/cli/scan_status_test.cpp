#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <string>

#include "conv_string.h"
#include "scan_status.h"

namespace {

// A loopback port nobody listens on: a question to it is refused at once.
uint16_t ClosedLoopbackPort() {
    const int h = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof address;
    bind(h, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(h, reinterpret_cast<sockaddr*>(&address), &nLength);
    close(h);
    return ntohs(address.sin_port);
}

ScanRow LoopbackRow(std::u16string strName, uint16_t nPort) {
    ScanRow row;
    row.strName = std::move(strName);
    row.strId = row.strName;
    row.strIpAddress = u"127.0.0.1";
    row.aAddresses = {row.strIpAddress};
    row.strType = u"_ipp._tcp";
    row.nPort = nPort;
    return row;
}

}  // namespace

// The scan shows an answer's line under its row list's lock, and asks for
// rows while it holds that lock: an answer that comes while a row is being
// asked must not wait on the asker, nor the asker on it.
TEST(ScanStatus, AnAnswerWaitingOnTheAskersLockDoesNotHoldUpTheNextAsk) {
    std::mutex rowsLock;
    std::promise<void> answering;
    bool bFirst = true;
    CScanStatus status(std::chrono::seconds(2),
                       [&](const ScanRow&, const PrinterStatus&) {
                           if (std::exchange(bFirst, false)) answering.set_value();
                           const std::lock_guard<std::mutex> lock(rowsLock);
                       },
                       {});
    const uint16_t nPort = ClosedLoopbackPort();
    std::unique_lock<std::mutex> lock(rowsLock);
    status.Ask(LoopbackRow(u"First", nPort));
    answering.get_future().wait();
    auto asked = std::async(std::launch::async, [&] { status.Ask(LoopbackRow(u"Second", nPort)); });
    const bool bAsked = asked.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    lock.unlock();  // lets a stuck answer go, so that a failure ends
    EXPECT_TRUE(bAsked);
    asked.wait();
    EXPECT_TRUE(status.WaitFor(std::chrono::seconds(10)));
    EXPECT_EQ(status.GetStatuses().size(), 2u);
}
