// hvl-scan --watch: the announcements a method's devices multicast (SSDP
// NOTIFY, WS-Discovery Hello and Bye), heard on the method's own port beside
// the other programs of the desktop that listen there: the socket is bound
// shared (SO_REUSEADDR, SO_REUSEPORT) and to the group's address, so that it
// never holds the port alone nor takes a datagram sent to another program.
// IPv4, on every interface that is up and can multicast, but loopback (asked
// again every 30 s, for the interfaces that came up since).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "stop_signal.h"

class CMulticastListener {
public:
    // Called on the listener's thread for each datagram (the sender's dotted
    // address), and every tick meanwhile when a tick is given.
    using DatagramFn = std::function<void(std::string_view data, const std::string& strSender)>;

    CMulticastListener() = default;
    ~CMulticastListener() { Stop(); }
    CMulticastListener(const CMulticastListener&) = delete;
    CMulticastListener& operator=(const CMulticastListener&) = delete;

    // Listens on a thread of its own until Stop; false (traced) when no
    // interface could join the group.
    bool Start(const char* pszGroup, uint16_t nPort, DatagramFn fnDatagram, std::function<void()> fnTick = {},
               int nTickMs = 1000);
    // Returns once the thread has ended. Safe to repeat.
    void Stop();

private:
    void Listen();

    int m_hSocket = -1;
    uint32_t m_nGroup = 0;                 // network byte order
    std::unique_ptr<CStopSignal> m_pStop;  // one per Start
    int m_nTickMs = -1;
    DatagramFn m_fnDatagram;
    std::function<void()> m_fnTick;
    std::thread m_thread;
};
