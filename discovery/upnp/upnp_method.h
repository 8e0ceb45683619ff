// UPnP as a discovery method.
#pragma once

#include "methods.h"

extern const DiscoveryMethod UPNP_METHOD;
