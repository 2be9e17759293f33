#include "meta.h"

#include <limits>
#include <tuple>

#include "binio.h"
#include "error.h"

const std::string& Meta::allele(std::size_t i) const {
    static const std::string none;
    return i < alleles.size() ? alleles[i] : none;
}

bool Meta::operator<(const Meta& other) const {
    return std::tie(rsid, chromosome, position, allele(0), allele(1)) <
           std::tie(other.rsid, other.chromosome, other.position, other.allele(0), other.allele(1));
}

bool Meta::operator==(const Meta& other) const {
    return std::tie(rsid, chromosome, position, allele(0), allele(1)) ==
           std::tie(other.rsid, other.chromosome, other.position, other.allele(0), other.allele(1));
}

std::vector<uint8_t> Meta::toBuffer(uint32_t snpNumber) const {
    const std::string& a = allele(0);
    const std::string& b = allele(1);
    if (rsid.size() > std::numeric_limits<uint16_t>::max() ||
        chromosome.size() > std::numeric_limits<uint16_t>::max() ||
        a.size() > std::numeric_limits<uint32_t>::max() || b.size() > std::numeric_limits<uint32_t>::max())
        Error::fail("Failed to write meta information!");
    std::vector<uint8_t> record;
    record.reserve(20 + rsid.size() + chromosome.size() + a.size() + b.size());
    binio::appendLE<uint32_t>(record, snpNumber);
    binio::appendLE<uint16_t>(record, static_cast<uint16_t>(rsid.size()));
    binio::appendBytes(record, rsid.data(), rsid.size());
    binio::appendLE<uint32_t>(record, position);
    binio::appendLE<uint16_t>(record, static_cast<uint16_t>(chromosome.size()));
    binio::appendBytes(record, chromosome.data(), chromosome.size());
    binio::appendLE<uint32_t>(record, static_cast<uint32_t>(a.size()));
    binio::appendBytes(record, a.data(), a.size());
    binio::appendLE<uint32_t>(record, static_cast<uint32_t>(b.size()));
    binio::appendBytes(record, b.data(), b.size());
    return record;
}
