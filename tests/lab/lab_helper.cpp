#include "lab_helper.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#ifndef HVL_LAB_SCRIPT
#error "HVL_LAB_SCRIPT must name tests/lab/lab.sh"
#endif

namespace {

std::string Root() {
    const char* psz = std::getenv("HVL_LAB_ROOT");
    return psz != nullptr && *psz != '\0' ? psz : "/tmp/hvl-lab";
}

// Runs argv with stdout and stderr captured; the exit status, or -1.
int RunCaptured(const std::vector<std::string>& aArgv, std::string& strOut, std::string& strErr) {
    int aOut[2];
    int aErr[2];
    if (pipe2(aOut, O_CLOEXEC) != 0) {
        return -1;
    }
    if (pipe2(aErr, O_CLOEXEC) != 0) {
        close(aOut[0]);
        close(aOut[1]);
        return -1;
    }
    std::vector<char*> aPtrs;
    for (const std::string& s : aArgv) {
        aPtrs.push_back(const_cast<char*>(s.c_str()));
    }
    aPtrs.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(aOut[1], STDOUT_FILENO);
        dup2(aErr[1], STDERR_FILENO);
        int hNull = open("/dev/null", O_RDONLY);
        if (hNull >= 0) {
            dup2(hNull, STDIN_FILENO);
        }
        execv(aPtrs[0], aPtrs.data());
        _exit(127);
    }
    close(aOut[1]);
    close(aErr[1]);
    if (pid < 0) {
        close(aOut[0]);
        close(aErr[0]);
        return -1;
    }
    pollfd aFds[2] = {{aOut[0], POLLIN, 0}, {aErr[0], POLLIN, 0}};
    int nOpen = 2;
    while (nOpen > 0) {
        if (poll(aFds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (pollfd& fd : aFds) {
            if (fd.fd < 0 || fd.revents == 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = read(fd.fd, buf, sizeof(buf));
            if (n > 0) {
                (fd.fd == aOut[0] ? strOut : strErr).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fd.fd);
                fd.fd = -1;
                --nOpen;
            }
        }
    }
    for (pollfd& fd : aFds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

}  // namespace

CLab::CLab(std::string strName) : m_strName(std::move(strName)) {}

CLab::~CLab() {
    Down();
}

std::string CLab::SkipReason() {
    if (geteuid() != 0) {
        return "the test lab needs root (network namespaces, mounts)";
    }
    if (access(HVL_LAB_SCRIPT, X_OK) != 0) {
        return std::string("the lab script is missing: ") + HVL_LAB_SCRIPT;
    }
    for (const char* pszTool : {"/usr/sbin/ip", "/usr/sbin/avahi-daemon", "/usr/bin/dbus-daemon"}) {
        if (access(pszTool, X_OK) != 0) {
            return std::string("the lab needs ") + pszTool + " (scripts/install-deps.sh)";
        }
    }
    return std::string();
}

std::string CLab::UniqueName(const std::string& strPrefix) {
    return strPrefix.substr(0, 5) + std::to_string(getpid());
}

int CLab::Run(const std::vector<std::string>& aArgs, std::string* pOutput) {
    std::vector<std::string> aArgv{HVL_LAB_SCRIPT};
    aArgv.insert(aArgv.end(), aArgs.begin(), aArgs.end());
    std::string strOut;
    std::string strErr;
    const int nStatus = RunCaptured(aArgv, strOut, strErr);
    if (pOutput != nullptr) {
        *pOutput = strOut;
    }
    if (nStatus != 0) {
        std::lock_guard<std::mutex> lock(m_csError);
        m_strLastError = strErr.empty() ? "lab.sh failed" : Trimmed(strErr);
    }
    return nStatus;
}

std::string CLab::LastError() const {
    std::lock_guard<std::mutex> lock(m_csError);
    return m_strLastError;
}

bool CLab::Up(const std::vector<std::string>& aHosts, bool bAvahi) {
    std::vector<std::string> aArgs{"up", m_strName, "--owner", std::to_string(getpid())};
    if (!bAvahi) {
        aArgs.push_back("--no-avahi");
    }
    aArgs.insert(aArgs.end(), aHosts.begin(), aHosts.end());
    m_bUp = Run(aArgs) == 0;
    return m_bUp;
}

bool CLab::AddHost(const std::string& strHost) {
    return Run({"add-host", m_strName, strHost}) == 0;
}

bool CLab::Avahi(const std::string& strHost) {
    return Run({"avahi", m_strName, strHost}) == 0;
}

bool CLab::StopAvahi(const std::string& strHost) {
    return Run({"stop-avahi", m_strName, strHost}) == 0;
}

int CLab::Spawn(const std::string& strHost, const std::string& strTag,
                const std::vector<std::string>& aArgv) {
    std::vector<std::string> aArgs{"spawn", m_strName, strHost, "--tag", strTag, "--"};
    aArgs.insert(aArgs.end(), aArgv.begin(), aArgv.end());
    std::string strOut;
    return Run(aArgs, &strOut) == 0 ? std::atoi(strOut.c_str()) : -1;
}

std::string CLab::WriteDescription(const std::string& strJson, const std::string& strTag) {
    const std::string strFile = Dir() + "/" + strTag + ".json";
    std::ofstream out(strFile, std::ios::binary | std::ios::trunc);
    out << strJson;
    if (!out) {
        std::lock_guard<std::mutex> lock(m_csError);
        m_strLastError = "cannot write " + strFile;
        return std::string();
    }
    return strFile;
}

int CLab::Announce(const std::string& strHost, const std::string& strJson, const std::string& strTag) {
    const std::string strFile = WriteDescription(strJson, strTag);
    std::string strOut;
    return !strFile.empty() && Run({"announce", m_strName, strHost, strFile, "--tag", strTag}, &strOut) == 0
               ? std::atoi(strOut.c_str())
               : -1;
}

bool CLab::Stale(const std::string& strHost, const std::string& strJson, const std::string& strTag) {
    const std::string strFile = WriteDescription(strJson, strTag);
    return !strFile.empty() && Run({"stale", m_strName, strHost, strFile, "--tag", strTag}) == 0;
}

bool CLab::ClientAvahi(const std::string& strAction) {
    return Run({"client-avahi", m_strName, strAction}) == 0;
}

int CLab::Ippeveprinter(const std::string& strHost, const std::string& strName, const std::string& strTag) {
    std::string strOut;
    return Run({"ippeveprinter", m_strName, strHost, strName, "--tag", strTag}, &strOut) == 0
               ? std::atoi(strOut.c_str())
               : -1;
}

bool CLab::WaitBrowse(const std::string& strType, const std::vector<std::string>& aInstances, int nSeconds) {
    std::vector<std::string> aArgs{"wait-browse", m_strName, strType};
    aArgs.insert(aArgs.end(), aInstances.begin(), aInstances.end());
    aArgs.push_back("--timeout");
    aArgs.push_back(std::to_string(nSeconds));
    return Run(aArgs) == 0;
}

bool CLab::Kill(const std::string& strPidOrTag, const std::string& strSignal) {
    return Run({"kill", m_strName, strPidOrTag, "--signal", strSignal}) == 0;
}

int CLab::Exec(const std::string& strHost, const std::vector<std::string>& aArgv, std::string* pOutput) {
    std::vector<std::string> aArgs{"exec", m_strName, strHost, "--"};
    aArgs.insert(aArgs.end(), aArgv.begin(), aArgv.end());
    return Run(aArgs, pOutput);
}

std::string CLab::Ip(const std::string& strHost) {
    std::string strOut;
    return Run({"ip", m_strName, strHost}, &strOut) == 0 ? Trimmed(strOut) : std::string();
}

std::string CLab::BusAddress(const std::string& strHost) const {
    return "unix:path=" + Dir() + "/" + strHost + "/dbus.sock";
}

std::string CLab::Dir() const {
    return Root() + "/" + m_strName;
}

void CLab::Down() {
    if (m_bUp) {
        Run({"down", m_strName});
        m_bUp = false;
    }
}

bool CLab::EnterClient() {
    const char* pszPrefix = std::getenv("HVL_LAB_PREFIX");
    const std::string strPath =
        std::string("/run/netns/") + (pszPrefix ? pszPrefix : "hvl") + "-" + m_strName + "-client";
    const int hNs = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (hNs < 0) {
        std::lock_guard<std::mutex> lock(m_csError);
        m_strLastError = "cannot open " + strPath;
        return false;
    }
    const bool bOk = setns(hNs, CLONE_NEWNET) == 0;
    close(hNs);
    if (!bOk) {
        std::lock_guard<std::mutex> lock(m_csError);
        m_strLastError = "setns into " + strPath + " failed";
        return false;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", BusAddress("client").c_str(), 1);
    return true;
}
