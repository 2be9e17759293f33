// One SNP's identity (Meta), its binary record, and the SNP index: the two-way map between a
// Meta and the SNP's 0-based number in the Z file. Plain values; a built index is read-only
// and may be read from several threads at once.
#pragma once

#include <boost/bimap.hpp>
#include <boost/bimap/set_of.hpp>

#include <cstdint>
#include <string>
#include <vector>

struct Meta {
    std::string rsid;
    std::string chromosome;
    uint32_t position = 0;
    std::vector<std::string> alleles;  // allele1, allele2 (further entries are not compared)

    // Allele i, or "" when the SNP has fewer alleles.
    const std::string& allele(std::size_t i) const;

    // Orders by rsid, chromosome, position, allele1, allele2 (texts byte-wise unsigned).
    bool operator<(const Meta& other) const;
    bool operator==(const Meta& other) const;

    // The binary record (SNP number, u16 rsid, position, u16 chromosome, u32 allele1,
    // u32 allele2; little-endian). A text too long for its length field ends the run with
    // "Failed to write meta information!".
    std::vector<uint8_t> toBuffer(uint32_t snpNumber) const;
};

// Left: the SNP, ordered by Meta; right: its 0-based number in the Z file.
using SnpIndex = boost::bimap<boost::bimaps::set_of<Meta>, boost::bimaps::set_of<uint32_t>>;

struct SumStatsData {
    SnpIndex snpIndex;
};
