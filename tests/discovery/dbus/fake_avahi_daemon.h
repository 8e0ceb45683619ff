// A private message bus (GLib's GTestDBus, a dbus-daemon of its own) with a
// scripted avahi-daemon on it, for unit tests of the D-Bus client without
// root. The fake runs on a thread and GMainContext of its own; the process's
// DBUS_SYSTEM_BUS_ADDRESS points at the private bus while it is up.
#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fake_avahi {

// When a resolver's Found is sent, relative to its Prepare and Start replies.
enum class FoundAt { BEFORE_PREPARE_REPLY, BEFORE_START_REPLY, AFTER_START_REPLY, NEVER };

struct Script {
    std::vector<std::string> aInstances = {"Office Laser"};  // each browse's ItemNew after Start
    int nBrowseStartDelayMs = 0;                             // < 0: Start of a browser is never answered
    std::string strSilentName = "Silent";    // a resolver of this instance: Prepare is never answered
    std::string strRefusedName = "Refused";  // a resolver of this instance: Prepare answered with an error
    FoundAt foundAt = FoundAt::AFTER_START_REPLY;
    int nStrangersBeforeFound = 0;    // Found signals for paths no client asked for, sent first
    bool bForeignFoundFirst = false;  // another bus member sends a Found of its own for the path first
    bool bLeaveBusOnResolve = false;  // the daemon gives up its name instead of answering Start
    std::map<std::string, int> resolverNewDelayMs;  // ServiceResolverNew of that instance answered late
    int nGetStateDelayMs = 0;                       // a slow daemon
};

// The private bus, once per process.
class PrivateBus {
public:
    static const std::string& Address() {
        static PrivateBus bus;
        return bus.m_strAddress;
    }

private:
    PrivateBus() {
        m_pBus = g_test_dbus_new(G_TEST_DBUS_NONE);
        g_test_dbus_up(m_pBus);
        m_strAddress = g_test_dbus_get_bus_address(m_pBus);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", m_strAddress.c_str(), 1);
    }
    GTestDBus* m_pBus = nullptr;  // left up until the process ends
    std::string m_strAddress;
};

constexpr const char* INTROSPECTION = R"(<node>
 <interface name="org.freedesktop.Avahi.Server">
  <method name="GetState"><arg type="i" direction="out"/></method>
  <method name="GetVersionString"><arg type="s" direction="out"/></method>
  <method name="GetHostName"><arg type="s" direction="out"/></method>
  <method name="ServiceResolverNew">
   <arg type="i"/><arg type="i"/><arg type="s"/><arg type="s"/><arg type="s"/><arg type="i"/><arg type="u"/>
   <arg type="o" direction="out"/>
  </method>
 </interface>
 <interface name="org.freedesktop.Avahi.Server2">
  <method name="ServiceBrowserPrepare">
   <arg type="i"/><arg type="i"/><arg type="s"/><arg type="s"/><arg type="u"/><arg type="o" direction="out"/>
  </method>
  <method name="ServiceResolverPrepare">
   <arg type="i"/><arg type="i"/><arg type="s"/><arg type="s"/><arg type="s"/><arg type="i"/><arg type="u"/>
   <arg type="o" direction="out"/>
  </method>
  <method name="RecordBrowserPrepare">
   <arg type="i"/><arg type="i"/><arg type="s"/><arg type="q"/><arg type="q"/><arg type="u"/>
   <arg type="o" direction="out"/>
  </method>
 </interface>
 <interface name="org.freedesktop.Avahi.ServiceBrowser"><method name="Start"/><method name="Free"/></interface>
 <interface name="org.freedesktop.Avahi.ServiceResolver"><method name="Start"/><method name="Free"/></interface>
 <interface name="org.freedesktop.Avahi.RecordBrowser"><method name="Start"/><method name="Free"/></interface>
</node>)";

class Daemon {
public:
    explicit Daemon(Script script) : m_script(std::move(script)) {
        const std::string strAddress = PrivateBus::Address();
        std::promise<void> ready;
        m_thread = std::thread([this, strAddress, &ready] { Run(strAddress, ready); });
        ready.get_future().wait();
    }
    ~Daemon() {
        Invoke([this] {
            for (GDBusMethodInvocation* p : m_aHeld) {
                g_dbus_method_invocation_return_dbus_error(p, "org.freedesktop.Avahi.Error", "shut down");
            }
            m_aHeld.clear();
            g_main_loop_quit(m_pLoop);
        });
        m_thread.join();
    }

    std::atomic<int> nFrees{0};
    std::atomic<int> nPrepares{0};
    std::atomic<int> nResolverNews{0};

private:
    // Runs fn on the daemon's thread. The lock orders the hand-over for
    // ThreadSanitizer, which cannot see the one inside GLib.
    static std::mutex& HandOverLock() {
        static std::mutex mutex;
        return mutex;
    }
    template <typename F>
    void Invoke(F fn) {
        F* pFn = nullptr;
        {
            std::lock_guard lock(HandOverLock());
            pFn = new F(std::move(fn));
        }
        g_main_context_invoke_full(
            m_pContext, G_PRIORITY_DEFAULT,
            [](gpointer pData) {
                std::lock_guard lock(HandOverLock());
                (*static_cast<F*>(pData))();
                return G_SOURCE_REMOVE;
            },
            pFn,
            [](gpointer pData) {
                std::lock_guard lock(HandOverLock());
                delete static_cast<F*>(pData);
            });
    }

    void Run(const std::string& strAddress, std::promise<void>& ready) {
        m_pContext = g_main_context_new();
        g_main_context_push_thread_default(m_pContext);
        m_pLoop = g_main_loop_new(m_pContext, FALSE);
        m_pInfo = g_dbus_node_info_new_for_xml(INTROSPECTION, nullptr);
        m_pConnection = Connect(strAddress);
        RegisterObject("/", "org.freedesktop.Avahi.Server");
        RegisterObject("/", "org.freedesktop.Avahi.Server2");
        GVariant* pReply = g_dbus_connection_call_sync(
            m_pConnection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName",
            g_variant_new("(su)", "org.freedesktop.Avahi",
                          7u /* replace the last test's fake, and let the next one replace this */),
            nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        if (pReply != nullptr) {
            g_variant_unref(pReply);
        }
        ready.set_value();
        g_main_loop_run(m_pLoop);
        for (guint nId : m_aRegistrations) {
            g_dbus_connection_unregister_object(m_pConnection, nId);
        }
        g_dbus_connection_close_sync(m_pConnection, nullptr, nullptr);
        g_object_unref(m_pConnection);
        if (m_pStranger != nullptr) {
            g_dbus_connection_close_sync(m_pStranger, nullptr, nullptr);
            g_object_unref(m_pStranger);
        }
        g_dbus_node_info_unref(m_pInfo);
        while (g_main_context_iteration(m_pContext, FALSE)) {
        }
        g_main_loop_unref(m_pLoop);
        g_main_context_pop_thread_default(m_pContext);
        g_main_context_unref(m_pContext);
    }

    static GDBusConnection* Connect(const std::string& strAddress) {
        return g_dbus_connection_new_for_address_sync(
            strAddress.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
    }

    void RegisterObject(const std::string& strPath, const char* pszInterface) {
        static const GDBusInterfaceVTable VTABLE = {
            [](GDBusConnection*, const char* pszSender, const char* pszPath, const char* pszInterface,
               const char* pszMethod, GVariant* pArgs, GDBusMethodInvocation* pCall, gpointer pData) {
                static_cast<Daemon*>(pData)->OnMethod(pszSender, pszPath, pszInterface, pszMethod, pArgs,
                                                      pCall);
            },
            nullptr,
            nullptr,
            {}};
        m_aRegistrations.push_back(g_dbus_connection_register_object(
            m_pConnection, strPath.c_str(), g_dbus_node_info_lookup_interface(m_pInfo, pszInterface), &VTABLE,
            this, nullptr, nullptr));
    }

    void Emit(GDBusConnection* pFrom, const std::string& strTo, const std::string& strPath,
              const char* pszInterface, const char* pszMember, GVariant* pBody) {
        g_dbus_connection_emit_signal(pFrom, strTo.c_str(), strPath.c_str(), pszInterface, pszMember, pBody,
                                      nullptr);
    }

    static GVariant* FoundBody(const std::string& strName, const char* pszHost) {
        GVariantBuilder txt;
        g_variant_builder_init(&txt, G_VARIANT_TYPE("aay"));
        return g_variant_new("(iissssisqaayu)", 2, 0, strName.c_str(), "_printer._tcp", "local", pszHost, 0,
                             "192.0.2.10", static_cast<guint16>(631), &txt, 0u);
    }

    void SendFound(const std::string& strTo, const std::string& strPath, const std::string& strName) {
        Emit(m_pConnection, strTo, strPath, "org.freedesktop.Avahi.ServiceResolver", "Found",
             FoundBody(strName, "printer.local"));
    }

    void OnMethod(const std::string& strSender, const std::string& strPath, const std::string& strInterface,
                  const std::string& strMethod, GVariant* pArgs, GDBusMethodInvocation* pCall) {
        if (strMethod == "GetState") {
            return After(m_script.nGetStateDelayMs,
                         [pCall] { g_dbus_method_invocation_return_value(pCall, g_variant_new("(i)", 2)); });
        }
        if (strMethod == "GetVersionString" || strMethod == "GetHostName") {
            return g_dbus_method_invocation_return_value(
                pCall, g_variant_new("(s)", strMethod == "GetHostName" ? "fakehost" : "avahi 0.8"));
        }
        if (strMethod == "Free") {
            ++nFrees;
            return g_dbus_method_invocation_return_value(pCall, nullptr);
        }
        if (strMethod == "Start") {
            return OnStart(strSender, strPath, strInterface, pCall);
        }
        ++nPrepares;
        const bool bNew = strMethod == "ServiceResolverNew";
        const bool bResolver = bNew || strMethod == "ServiceResolverPrepare";
        const char* pszKind = bResolver                              ? "ServiceResolver"
                              : strMethod == "ServiceBrowserPrepare" ? "ServiceBrowser"
                                                                     : "RecordBrowser";
        const std::string strObject = "/Client1/" + std::string(pszKind) + std::to_string(++m_nObjects);
        RegisterObject(strObject, ("org.freedesktop.Avahi." + std::string(pszKind)).c_str());
        if (!bResolver) {
            return g_dbus_method_invocation_return_value(pCall, g_variant_new("(o)", strObject.c_str()));
        }
        const char* pszName = "";
        g_variant_get_child(pArgs, 2, "&s", &pszName);
        m_names[strObject] = pszName;
        if (bNew) {
            ++nResolverNews;
            auto it = m_script.resolverNewDelayMs.find(pszName);
            const int nDelayMs = it != m_script.resolverNewDelayMs.end() ? it->second : 0;
            return After(nDelayMs, [this, pCall, strSender, strObject] {
                g_dbus_method_invocation_return_value(pCall, g_variant_new("(o)", strObject.c_str()));
                SendFound(strSender, strObject, m_names[strObject]);
            });
        }
        if (m_script.strRefusedName == pszName) {
            return g_dbus_method_invocation_return_dbus_error(
                pCall, "org.freedesktop.Avahi.InvalidServiceNameError", "refused");
        }
        if (m_script.strSilentName == pszName) {
            m_aHeld.push_back(pCall);
            return;
        }
        for (int i = 0; i < m_script.nStrangersBeforeFound; ++i) {
            SendFound(strSender, "/Client1/Stranger" + std::to_string(i), "stranger");
        }
        if (m_script.foundAt == FoundAt::BEFORE_PREPARE_REPLY) {
            SendFound(strSender, strObject, pszName);
        }
        g_dbus_method_invocation_return_value(pCall, g_variant_new("(o)", strObject.c_str()));
        if (m_script.foundAt == FoundAt::BEFORE_START_REPLY) {
            SendFound(strSender, strObject, pszName);
        }
    }

    void OnStart(const std::string& strSender, const std::string& strPath, const std::string& strInterface,
                 GDBusMethodInvocation* pCall) {
        if (strInterface == "org.freedesktop.Avahi.ServiceResolver") {
            if (m_script.bLeaveBusOnResolve) {
                m_aHeld.push_back(pCall);
                GVariant* pReply = g_dbus_connection_call_sync(
                    m_pConnection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "ReleaseName", g_variant_new("(s)", "org.freedesktop.Avahi"), nullptr,
                    G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
                if (pReply != nullptr) {
                    g_variant_unref(pReply);
                }
                return;
            }
            if (m_script.bForeignFoundFirst) {
                if (m_pStranger == nullptr) {
                    m_pStranger = Connect(PrivateBus::Address());
                }
                Emit(m_pStranger, strSender, strPath, "org.freedesktop.Avahi.ServiceResolver", "Found",
                     FoundBody(m_names[strPath], "impostor.local"));
            }
            g_dbus_method_invocation_return_value(pCall, nullptr);
            if (m_script.foundAt == FoundAt::AFTER_START_REPLY) {
                SendFound(strSender, strPath, m_names[strPath]);
            }
            return;
        }
        if (strInterface == "org.freedesktop.Avahi.RecordBrowser") {
            g_dbus_method_invocation_return_value(pCall, nullptr);
            const guint8 ADDRESS[] = {192, 0, 2, 10};
            Emit(m_pConnection, strSender, strPath, "org.freedesktop.Avahi.RecordBrowser", "ItemNew",
                 g_variant_new("(iisqq@ayu)", 2, 0, "printer.local", static_cast<guint16>(1),
                               static_cast<guint16>(1),
                               g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, ADDRESS, 4, 1), 0u));
            return;
        }
        if (m_script.nBrowseStartDelayMs < 0) {
            m_aHeld.push_back(pCall);
            return;
        }
        auto fnAnswer = [this, strSender, strPath, pCall] {
            g_dbus_method_invocation_return_value(pCall, nullptr);
            for (const std::string& strName : m_script.aInstances) {
                Emit(m_pConnection, strSender, strPath, "org.freedesktop.Avahi.ServiceBrowser", "ItemNew",
                     g_variant_new("(iisssu)", 2, 0, strName.c_str(), "_printer._tcp", "local", 0u));
            }
        };
        After(m_script.nBrowseStartDelayMs, std::move(fnAnswer));
    }

    // Runs fn on the daemon's thread after nMs (at once for 0).
    template <typename Fn>
    void After(int nMs, Fn fn) {
        if (nMs == 0) return fn();
        GSource* pTimer = g_timeout_source_new(static_cast<guint>(nMs));
        g_source_set_callback(
            pTimer,
            [](gpointer pData) {
                (*static_cast<Fn*>(pData))();
                return G_SOURCE_REMOVE;
            },
            new Fn(std::move(fn)), [](gpointer pData) { delete static_cast<Fn*>(pData); });
        g_source_attach(pTimer, m_pContext);
        g_source_unref(pTimer);
    }

    Script m_script;
    std::thread m_thread;
    GMainContext* m_pContext = nullptr;
    GMainLoop* m_pLoop = nullptr;
    GDBusNodeInfo* m_pInfo = nullptr;
    GDBusConnection* m_pConnection = nullptr;
    GDBusConnection* m_pStranger = nullptr;  // another member of the bus
    std::vector<guint> m_aRegistrations;
    std::vector<GDBusMethodInvocation*> m_aHeld;  // calls never answered
    std::map<std::string, std::string> m_names;   // resolver path -> instance name
    int m_nObjects = 0;
};

// A socket that takes connections and never says a word: a bus that hangs.
class SilentListener {
public:
    SilentListener() {
        char szDir[] = "/tmp/hvl-dbus-test-XXXXXX";
        m_strDir = mkdtemp(szDir) != nullptr ? szDir : "/tmp";
        m_strPath = m_strDir + "/bus";
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        m_strPath.copy(addr.sun_path, sizeof addr.sun_path - 1);
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(m_fd, 128), 0);
    }
    ~SilentListener() {
        close(m_fd);
        unlink(m_strPath.c_str());
        rmdir(m_strDir.c_str());
    }
    std::string Address() const { return "unix:path=" + m_strPath; }

private:
    std::string m_strDir;
    std::string m_strPath;
    int m_fd = -1;
};

// The process's open descriptors: all of them, and the eventfds among them
// (one for each live GMainContext, its wake-up descriptor).
struct Descriptors {
    int nAll = 0;
    int nEventFds = 0;
};

inline Descriptors CountDescriptors() {
    Descriptors d;
    GDir* pDir = g_dir_open("/proc/self/fd", 0, nullptr);
    if (pDir == nullptr) {
        return d;
    }
    while (const char* pszName = g_dir_read_name(pDir)) {
        gchar* pszPath = g_build_filename("/proc/self/fd", pszName, nullptr);
        gchar* pszTarget = g_file_read_link(pszPath, nullptr);
        ++d.nAll;
        if (pszTarget != nullptr && g_str_has_suffix(pszTarget, "[eventfd]")) {
            ++d.nEventFds;
        }
        g_free(pszTarget);
        g_free(pszPath);
    }
    g_dir_close(pDir);
    --d.nAll;  // the directory's own
    return d;
}

}  // namespace fake_avahi
