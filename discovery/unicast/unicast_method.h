// DNS-SD over unicast DNS (hvl-scan --domain) as a discovery method.
#pragma once

#include "methods.h"

extern const DiscoveryMethod DNS_SD_METHOD;
