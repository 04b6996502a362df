#pragma once

struct Invocation;

// The program's long-running modes, each built from the switch core, its
// log, the port's owner socket and the servers the invocation asks for.
// Both return the program's exit code.

// The panel, with the servers of --listen and --http beside it.
int RunPanel(const Invocation& invocation, int argc, char** argv);

// The servers without a window, on the address to start from.
int RunHeadless(const Invocation& invocation, int argc, char** argv);
