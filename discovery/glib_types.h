// GLib's type set-up, made once before any discovery thread starts.
#pragma once

// GLib deadlocks when two threads first use types whose class set-up
// registers further types (a SoupSession's class registers GIO's socket
// addresses while the D-Bus address lookup registers them too): each waits
// for the other's lock, for ever. Every type the discovery threads set up
// is therefore made here, on the calling thread; later calls do nothing.
void SetUpGLibTypes();
