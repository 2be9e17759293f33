#include "support/snprecord.h"

#include <stdexcept>

#include "support/bcorfile.h"

std::string snpRecordBytes(const SnpRecord& snp) {
    std::string record;
    appendLE(record, snp.number, 4);
    appendLE(record, snp.rsid.size(), 2);
    record += snp.rsid;
    appendLE(record, snp.position, 4);
    appendLE(record, snp.chromosome.size(), 2);
    record += snp.chromosome;
    appendLE(record, snp.allele1.size(), 4);
    record += snp.allele1;
    appendLE(record, snp.allele2.size(), 4);
    record += snp.allele2;
    return record;
}

SnpRecord parseSnpRecord(const std::string& record) {
    std::size_t at = 0;
    const auto need = [&](uint64_t count) {
        if (count > record.size() - at) throw std::runtime_error("SNP record ends inside a field");
    };
    const auto number = [&](unsigned width) {
        need(width);
        const uint64_t value = getLE(record, at, width);
        at += width;
        return value;
    };
    const auto text = [&](uint64_t length) {
        need(length);
        std::string value = record.substr(at, length);
        at += length;
        return value;
    };
    SnpRecord snp;
    snp.number = static_cast<uint32_t>(number(4));
    snp.rsid = text(number(2));
    snp.position = static_cast<uint32_t>(number(4));
    snp.chromosome = text(number(2));
    snp.allele1 = text(number(4));
    snp.allele2 = text(number(4));
    if (at != record.size()) throw std::runtime_error("SNP record longer than its fields");
    return snp;
}
