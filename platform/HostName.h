#pragma once
#include <string>

namespace platform {

// The local machine's fully qualified host name as the resolver knows it
// ("pos1.shop.example"); the bare host name when it has no canonical name,
// "localhost" when even that is unknown.
std::string LocalHostFullName();

} // namespace platform
