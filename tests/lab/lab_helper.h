// Drives tests/lab/lab.sh from C++ tests: one lab per test program, shared
// by its cases (bring it up in SetUpTestSuite or a GoogleTest environment).
#pragma once

#include <mutex>
#include <string>
#include <vector>

class CLab {
public:
    // name: 1-12 of a-z 0-9; unique per test program run (see UniqueName).
    explicit CLab(std::string strName);
    ~CLab();  // Down()
    CLab(const CLab&) = delete;
    CLab& operator=(const CLab&) = delete;

    // Empty when the lab can run here; otherwise why not (for GTEST_SKIP).
    static std::string SkipReason();
    // prefix followed by this process's id, e.g. "mdns12345".
    static std::string UniqueName(const std::string& strPrefix);

    // Builds client (with bus and avahi-daemon unless bAvahi is false) and
    // the printer hosts; a lab of the same name is torn down first.
    bool Up(const std::vector<std::string>& aHosts, bool bAvahi = true);
    bool AddHost(const std::string& strHost);
    bool Avahi(const std::string& strHost);
    bool StopAvahi(const std::string& strHost);
    // Background command in a host's namespace; its PID, or -1.
    int Spawn(const std::string& strHost, const std::string& strTag, const std::vector<std::string>& aArgv);
    // python3-zeroconf announcer for a JSON description; its PID, or -1.
    int Announce(const std::string& strHost, const std::string& strJson,
                 const std::string& strTag = "announce");
    // Switched-off printers (see lab.sh stale): cached by the client, gone.
    bool Stale(const std::string& strHost, const std::string& strJson, const std::string& strTag = "stale");
    // "kill", "freeze", "thaw" or "restart" the client's avahi-daemon.
    bool ClientAvahi(const std::string& strAction);
    int Ippeveprinter(const std::string& strHost, const std::string& strName,
                      const std::string& strTag = "ippeveprinter");
    // Until the client's avahi-daemon sees every one of the instances.
    bool WaitBrowse(const std::string& strType, const std::vector<std::string>& aInstances,
                    int nSeconds = 10);
    bool Kill(const std::string& strPidOrTag, const std::string& strSignal = "TERM");
    // Foreground command in a host's namespace; its exit status, or -1.
    int Exec(const std::string& strHost, const std::vector<std::string>& aArgv,
             std::string* pOutput = nullptr);
    std::string Ip(const std::string& strHost);
    // The unix socket address of a host's private system bus.
    std::string BusAddress(const std::string& strHost = "client") const;
    std::string Dir() const;
    void Down();

    // Moves the calling thread into the client namespace and points
    // DBUS_SYSTEM_BUS_ADDRESS at the lab's bus. Call it before any other
    // thread is started: threads inherit the namespace of their creator.
    bool EnterClient();

    const std::string& Name() const { return m_strName; }
    // What the last failing command wrote on stderr.
    std::string LastError() const;

    // Runs lab.sh with the arguments; its exit status. Output captured.
    int Run(const std::vector<std::string>& aArgs, std::string* pOutput = nullptr);

private:
    // Writes a description beside the lab's state; its path, or empty.
    std::string WriteDescription(const std::string& strJson, const std::string& strTag);

    std::string m_strName;
    std::string m_strLastError;  // guarded by m_csError: calls may run side by side
    mutable std::mutex m_csError;
    bool m_bUp = false;
};
