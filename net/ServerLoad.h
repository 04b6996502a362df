#pragma once

#include <string>

// One server's clients now, and the errors its sessions hold unread
// (-1: it has no error queue), as /metrics counts them.
struct ServerLoad
{
    std::string server;  // "scpi-raw", "vxi-11", "http", "hislip"
    int clients = 0;
    int errorsQueued = -1;
};
