#include "regionfiles.h"

#include "error.h"

std::string Regionfiles::get(const std::string& column) const {
    const auto found = files.find(column);
    if (found == files.end()) Error::fail("Cannot find file with extension '" + column + "'!");
    return found->second;
}
