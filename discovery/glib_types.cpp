#include "glib_types.h"

#include <mutex>

#include <gio/gio.h>
#include <libgssdp/gssdp.h>
#include <libsoup/soup.h>

void SetUpGLibTypes() {
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        for (GType type : {G_TYPE_INET_SOCKET_ADDRESS, G_TYPE_UNIX_SOCKET_ADDRESS, G_TYPE_INET_ADDRESS,
                           G_TYPE_SOCKET_CLIENT, G_TYPE_SOCKET, G_TYPE_CANCELLABLE, G_TYPE_TASK,
                           G_TYPE_DBUS_CONNECTION, G_TYPE_DBUS_MESSAGE, SOUP_TYPE_SESSION, SOUP_TYPE_MESSAGE,
                           SOUP_TYPE_SERVER, SOUP_TYPE_SERVER_MESSAGE, G_TYPE_SOCKET_SERVICE,
                           G_TYPE_TCP_CONNECTION, GSSDP_TYPE_CLIENT, GSSDP_TYPE_RESOURCE_BROWSER}) {
            g_type_class_unref(g_type_class_ref(type));
        }
        // What the bus address lookup sets up on its first call (no I/O).
        g_free(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr));
    });
}
