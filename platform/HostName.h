#pragma once
#include <string>

namespace platform {

// The local machine's fully qualified host name as the resolver knows it
// ("pos1.shop.example"); the bare host name when it has no canonical name,
// "localhost" when even that is unknown.
std::string LocalHostFullName();

// The local address, numeric ("192.0.2.7", "2001:db8::7"), of this machine's
// route toward AHost (a name or a numeric address) and APort; empty when the
// host cannot be resolved or reached. Nothing is sent.
std::string LocalAddressToward(const std::string& AHost, int APort);

} // namespace platform
