/* A UPnP peer for the test lab: GUPnP root devices served from the lab's own
 * description documents, on one address, until SIGTERM.
 *
 *   upnp_peer <ipv4-address> <description-dir> <file.xml>...
 *
 * Prints "ready" on stdout once every device is announced. */
#include <glib-unix.h>
#include <libgupnp/gupnp.h>
#include <stdio.h>

static gboolean on_term(gpointer loop) {
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s <ipv4-address> <description-dir> <file.xml>...\n", argv[0]);
        return 2;
    }
    GError* error = NULL;
    GInetAddress* address = g_inet_address_new_from_string(argv[1]);
    if (!address) {
        fprintf(stderr, "bad address %s\n", argv[1]);
        return 2;
    }
    GUPnPContext* context = gupnp_context_new_full(NULL, address, 0, GSSDP_UDA_VERSION_1_0, &error);
    g_object_unref(address);
    if (!context) {
        fprintf(stderr, "context: %s\n", error ? error->message : "?");
        return 1;
    }
    GPtrArray* devices = g_ptr_array_new_with_free_func(g_object_unref);
    for (int i = 3; i < argc; ++i) {
        GUPnPRootDevice* device = gupnp_root_device_new(context, argv[i], argv[2], &error);
        if (!device) {
            fprintf(stderr, "device %s: %s\n", argv[i], error ? error->message : "?");
            return 1;
        }
        gupnp_root_device_set_available(device, TRUE);
        printf("serving %s at %s\n", argv[i], gupnp_root_device_get_description_document_name(device));
        g_ptr_array_add(devices, device);
    }
    GMainLoop* loop = g_main_loop_new(NULL, FALSE);
    g_unix_signal_add(SIGTERM, on_term, loop);
    g_unix_signal_add(SIGINT, on_term, loop);
    printf("ready port=%u\n", gupnp_context_get_port(context));
    fflush(stdout);
    g_main_loop_run(loop);
    g_ptr_array_unref(devices);
    g_object_unref(context);
    g_main_loop_unref(loop);
    return 0;
}
