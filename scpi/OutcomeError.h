#pragma once

// What every server reports for a port operation that did not go as asked:
// the SCPI error a client finds in its queue (raw socket, VXI-11 and any
// other SCPI server alike) and the HTTP status the web API answers with.
// One table, so that no two protocols call the same outcome differently.

#include "SwitchTypes.h"

#include <string>

struct OutcomeError
{
    int code = 0;       // the SCPI error number; 0: verified, no error
    int httpStatus = 200;
    std::string words;  // the error's own text, as SYST:ERR? begins it: "Command protected"
    std::string detail; // what happened, in the system's words
};

OutcomeError ErrorFor(const OperationResult& result);
