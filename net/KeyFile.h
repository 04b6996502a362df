#pragma once

// The files TLS keeps its certificate and key in: written whole or not at
// all, the key kept from other users from its first byte, and what a key
// file given by the user lets others do. Free of Qt and OpenSSL; one file
// per OS (KeyFile_unix.cpp, KeyFile_win.cpp).

#include <cstdio>
#include <functional>
#include <string>

namespace keyfile {

// Writes `path` (named as the system's file calls take it) through `write`,
// which says whether it wrote everything: beside it first, then moved over
// it. `ownerOnly` keeps it from everyone but its owner. False with the
// system's words in `error`, or with `error` empty where `write` failed.
bool WriteWhole(const std::string& path, bool ownerOnly, const std::function<bool(std::FILE*)>& write, std::string& error);

// "readable by every user", "readable by its group", or empty where only its
// owner can read it (or it cannot be looked at).
std::string Exposure(const std::string& path);

} // namespace keyfile
