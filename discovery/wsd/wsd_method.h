// WS-Discovery as a discovery method: its descriptor, and a printer's row.
#pragma once

#include "methods.h"
#include "scan_row.h"
#include "wsd_finder.h"

extern const DiscoveryMethod WSD_METHOD;

// A WSD printer's row: name, model and web address from its metadata, else
// its address.
ScanRow ScanRowFromWsdDevice(const WsdDevice& device);
