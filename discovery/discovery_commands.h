#pragma once
// The discovery service's windows in the product: the Discover command's
// countdown and the scan dialog. Windows build only.
#include "toolkit/handlers.h"
#include "toolkit/services.h"

struct DiscoveryService;

// What the windows need, given once by the main window before any runs.
struct DiscoveryServices {
  WindowServices window;
  DiscoveryService* service = nullptr;
};
void register_discovery_services(const DiscoveryServices& services);
const DiscoveryServices& discovery_services();

int discover_command(WindowHandle, HandlerArg, HandlerArg, HandlerArg, HandlerArg);
// The "Scan addresses..." dialog of the device list's menu.
void scan_addresses_command();
