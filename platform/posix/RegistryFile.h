#pragma once
// Where the hive lives on POSIX systems: one text file in the registry
// editor's export format (".reg", version 5.00), named by the environment
// variable BREVOLT_REGISTRY, else /etc/opt/OrvaneSoftware/registry.reg. A
// missing file is an empty registry. Every change replaces the file by a
// rename and keeps the rest of it (other keys, comments, value order).
#include <string>

namespace platform {

// The registry file in use (BREVOLT_REGISTRY or the default).
std::string RegistryFilePath();

} // namespace platform
