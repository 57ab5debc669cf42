// Looking for a part of what a program printed.
#pragma once

#include <string>

// True when `part` occurs in `text`.
inline bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}
