// Card discovery and device notifications.
#pragma once

// Discovers the cards on the process-wide card handler and starts the
// device notifications; the result is not used by the main flow.
bool StartCardDiscovery();
