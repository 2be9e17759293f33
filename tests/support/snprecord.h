// Test-side SNP record of the BCOR and BDOSE files, written from the byte table alone (no
// production code): u32 SNP number, u16 length + rsid, u32 position, u16 length + chromosome,
// u32 length + allele 1, u32 length + allele 2. Plain values and functions; any thread.
#pragma once

#include <cstdint>
#include <string>

struct SnpRecord {
    uint32_t number = 0;
    std::string rsid;
    uint32_t position = 0;
    std::string chromosome;
    std::string allele1;
    std::string allele2;
};

// The record's bytes, without a length in front.
std::string snpRecordBytes(const SnpRecord& snp);

// Parses one whole record; throws std::runtime_error when the bytes end inside a field or run
// on past the last one.
SnpRecord parseSnpRecord(const std::string& record);
