/* A Weston module for the window's Wayland test: a seat with a keyboard and
 * a pointer. Weston's headless backend has no input devices, so without it
 * no window gets the keyboard focus and no client can reach the clipboard
 * (wl-paste, Qt's copy). Nothing is injected: Weston focuses each new
 * window on the seat, as a desktop does.
 *   weston --backend=headless-backend.so --modules=/path/weston_test_seat.so */
#include <libweston/libweston.h>
#include <libweston/zalloc.h>
#include <weston/weston.h>
#include <xkbcommon/xkbcommon.h>

/* Exported by libweston for its backends, not declared in its public headers. */
void weston_seat_init(struct weston_seat *seat, struct weston_compositor *ec, const char *seat_name);
int weston_seat_init_pointer(struct weston_seat *seat);
int weston_seat_init_keyboard(struct weston_seat *seat, struct xkb_keymap *keymap);

WL_EXPORT int wet_module_init(struct weston_compositor *compositor, int *argc, char *argv[]) {
    (void)argc;
    (void)argv;
    struct weston_seat *seat = zalloc(sizeof *seat);
    if (seat == NULL) return -1;
    weston_seat_init(seat, compositor, "hvl-test");
    if (weston_seat_init_pointer(seat) < 0 || weston_seat_init_keyboard(seat, NULL) < 0) return -1;
    return 0;
}
