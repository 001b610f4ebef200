#pragma once
// The service framework's switches ("INSTALL", "SILENT"): an argument of
// "-" or "/" followed by the word, letter case ignored.
#include "platform/Process.h"

#include <string>

namespace platform {

inline bool IsSwitch(const std::string& AArgument, const std::string& AWord) {
    if (AArgument.size() != AWord.size() + 1 || (AArgument[0] != '-' && AArgument[0] != '/'))
        return false;
    auto upper = [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    };
    for (size_t i = 0; i < AWord.size(); ++i)
        if (upper(AArgument[i + 1]) != upper(AWord[i]))
            return false;
    return true;
}

inline bool HasSwitch(const std::string& AWord) {
    for (const std::string& argument : CommandLineArguments())
        if (IsSwitch(argument, AWord))
            return true;
    return false;
}

} // namespace platform
