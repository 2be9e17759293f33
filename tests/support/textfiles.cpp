#include "support/textfiles.h"

#include <fstream>
#include <stdexcept>

namespace {

std::string writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

}  // namespace

std::string zFileText(const std::vector<ZRow>& rows) {
    std::string text = "rsid chromosome position allele1 allele2\n";
    for (const ZRow& r : rows)
        text += r.rsid + " " + r.chromosome + " " + std::to_string(r.position) + " " + r.allele1 + " " + r.allele2 +
                "\n";
    return text;
}

std::string writeZFile(const std::string& path, const std::vector<ZRow>& rows) {
    return writeText(path, zFileText(rows));
}

std::string sampleFileText(const std::vector<std::string>& ids) {
    std::string text = "ID_1 ID_2 missing sex\n0 0 0 D\n";
    for (const std::string& id : ids) text += id + " " + id + " 0 1\n";
    return text;
}

std::string writeSampleFile(const std::string& path, const std::vector<std::string>& ids) {
    return writeText(path, sampleFileText(ids));
}

std::string inclusionFileText(const std::vector<std::string>& ids) {
    std::string text;
    for (const std::string& id : ids) text += id + "\n";
    return text;
}

std::string writeInclusionFile(const std::string& path, const std::vector<std::string>& ids) {
    return writeText(path, inclusionFileText(ids));
}
