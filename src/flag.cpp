#include "flag.h"

#include "error.h"

void FlagMap::insert(const std::string& key, const Entry& entry) {
    if (!map.emplace(key, entry).second) {
        if (!entry.second.empty())
            Error::fail("Command-line flag '" + key + "' with value '" + entry.second + "' has already been set!");
        Error::fail("Command-line flag '" + key + "' has already been set!");
    }
}

std::string FlagMap::get(const std::string& key) const {
    const auto found = map.find(key);
    return found == map.end() ? std::string() : found->second.second;
}
