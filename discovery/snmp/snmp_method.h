// SNMP as a discovery method: its descriptor, and a printer's row.
#pragma once

#include "methods.h"
#include "scan_row.h"

extern const DiscoveryMethod SNMP_METHOD;

struct SnmpPrinter;
// Name: prtGeneralPrinterName, else sysName, else the model, else the
// address; model: the 1284 device ID's make and model, else hrDeviceDescr;
// location: sysLocation; web address http://<address>/.
ScanRow ScanRowFromSnmp(const SnmpPrinter& printer);
