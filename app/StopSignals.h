#pragma once

// SIGTERM (systemctl stop) and SIGINT end the event loop, so that what the
// program does on its way out (withdrawing its servers from rpcbind and
// Avahi, the server's --on-stop) is done. Once is enough; where the system
// has no such signals, nothing.
void QuitOnStopSignals();
