#include "bdosemapper.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "error.h"

namespace bip = boost::interprocess;

namespace {

std::string ordinal(uint64_t i) { return "#" + std::to_string(i + 1) + " SNP"; }

}  // namespace

void BdoseMapper::init(const std::string& bdose, const std::string& z, const SnpIndex& snpIndex, uint32_t nSamples) {
    bdoseFile = bdose;
    zFile = z;
    std::ifstream stream(bdoseFile, std::ios::in | std::ios::binary);
    if (!stream.is_open()) Error::fail("File '" + bdoseFile + "' cannot be opened!");
    readHeader(stream, bdoseFile, context);
    if (context.numSNPs != snpIndex.size())
        Error::fail("Different number of SNPs in file '" + zFile + "' (" + std::to_string(snpIndex.size()) +
                    " SNPs) and file '" + bdoseFile + "' (" + std::to_string(context.numSNPs) + " SNPs)!");
    if (context.numSamples != nSamples)
        Error::fail("File '" + bdoseFile + "' contains " + std::to_string(context.numSamples) + " samples but " +
                    std::to_string(nSamples) +
                    " samples are specified for the dataset; a BDOSE file of version 1.0 stores no sample IDs, "
                    "so it cannot select samples!");
    bdoseread::CheckedInput in(stream, bdoseFile);
    fileSize = in.fileSize();
    readMeta(in, snpIndex);
    readMissingness(in);
    readOffsets(in);
    state = 1;
}

void BdoseMapper::readHeader(std::istream& stream, const std::string& path, Bdose::Context& bdoseContext) const {
    bdoseread::CheckedInput in(stream, path);
    bdoseread::readCommonHeader(in, path, 0, bdoseContext);
}

void BdoseMapper::readMeta(bdoseread::CheckedInput& in, const SnpIndex& snpIndex) const {
    std::vector<uint8_t> scratch;
    for (uint32_t i = 0; i < context.numSNPs; ++i)
        bufferToMeta(i, bdoseread::readRecord(in, bdoseFile, i, &scratch), snpIndex);
}

void BdoseMapper::bufferToMeta(uint32_t i, const Meta& record, const SnpIndex& snpIndex) const {
    // The SNP counts are equal, so SNP i is in the index.
    const Meta& snp = snpIndex.right.find(i)->second;
    if (snp.rsid == record.rsid && snp.position == record.position && snp.chromosome == record.chromosome &&
        snp.allele(0) == record.allele(0) && snp.allele(1) == record.allele(1))
        return;
    Error::fail("\n\n", "Information for SNP with rsID '" + snp.rsid + "' in line " + std::to_string(uint64_t{i} + 2) +
                            " of file '" + zFile + "' does not match with the information for the #" +
                            std::to_string(uint64_t{i} + 1) + " SNP with rsID '" + record.rsid +
                            "' in BDOSE file '" + bdoseFile + "'!");
}

void BdoseMapper::readMissingness(bdoseread::CheckedInput& in) {
    const char* section = "missingness table";
    if (uint64_t{context.numSNPs} * 4 > in.left()) in.cutShort(section);
    missingCounts.clear();
    missingCounts.reserve(context.numSNPs);
    for (uint32_t i = 0; i < context.numSNPs; ++i) {
        const uint32_t missing = in.value<uint32_t>(section);
        if (missing > context.numSamples) invalid("missing count for the " + ordinal(i));
        missingCounts.push_back(missing);
    }
}

void BdoseMapper::readOffsets(bdoseread::CheckedInput& in) {
    const char* section = "offset table";
    if (uint64_t{context.numSNPs} * 8 > in.left()) in.cutShort(section);
    const uint64_t rowBytes = uint64_t{context.numSamples} * 8;
    // Row i starts at D + i * N * 8, D right after the table, and lies wholly inside the file.
    // The running position stays within the file size, so it cannot overflow.
    uint64_t rowStart = in.tell() + uint64_t{context.numSNPs} * 8;
    rowOffsets.clear();
    rowOffsets.reserve(context.numSNPs);
    for (uint32_t i = 0; i < context.numSNPs; ++i) {
        const uint64_t offset = in.value<uint64_t>(section);
        if (offset != rowStart || rowBytes > fileSize - offset) invalid("offset for the row of the " + ordinal(i));
        rowOffsets.push_back(offset);
        rowStart += rowBytes;
    }
}

void BdoseMapper::invalid(const std::string& what) const {
    Error::fail("BDOSE file '" + bdoseFile + "' holds an invalid " + what + "!");
}

void BdoseMapper::memmapFile() {
    if (state != 1) Error::fail("BDOSE mapper has not been intialized!");
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) Error::fail("Cannot determine the memory page size for BDOSE file '" + bdoseFile + "'!");
    pageSize = static_cast<uint64_t>(page);
    rowSpan = (uint64_t{context.numSamples} * 8 + pageSize - 1) / pageSize * pageSize;
    // The rows were checked against the size read by init; a file changed since could make
    // a mapped row run past its end.
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(bdoseFile, error);
    if (error || size != fileSize) Error::fail("BDOSE file '" + bdoseFile + "' has changed since it was read!");
    try {
        bip::file_mapping mapping(bdoseFile.c_str(), bip::read_only);
        fileMapping.swap(mapping);
    } catch (const bip::interprocess_exception& e) {
        Error::fail("File '" + bdoseFile + "' cannot be memory-mapped: " + e.what() + "!");
    }
    // Another process may still cut the file short: reading a row beyond its new end raises SIGBUS.
    rowGuard = mapguard::Guard(bdoseFile,
                               "Error : BDOSE file '" + bdoseFile + "' changed while it was being read!\n\n");
    state = 2;
}

const double* BdoseMapper::mapRegion(uint32_t n, const double*& row) {
    if (state != 2) Error::fail("BDOSE file '" + bdoseFile + "' has not been memory-mapped!");
    if (n >= rowOffsets.size()) Error::fail("BDOSE file '" + bdoseFile + "' has no row for the " + ordinal(n) + "!");
    const uint64_t offset = rowOffsets[n];
    const uint64_t shift = offset % pageSize;
    try {
        bip::mapped_region region(fileMapping, bip::read_only, static_cast<bip::offset_t>(offset - shift),
                                  static_cast<std::size_t>(shift + rowSpan));
        // The region mapped before is unmapped when `region` goes, after the guard has moved on.
        currentRow.swap(region);
        rowGuard.cover(currentRow.get_address(), currentRow.get_size());
    } catch (const bip::interprocess_exception& e) {
        Error::fail(e.what());
    }
    row = reinterpret_cast<const double*>(static_cast<const char*>(currentRow.get_address()) + shift);
    return row;
}

double BdoseMapper::getMissingness(uint32_t n) const {
    if (n >= missingCounts.size())
        Error::fail("BDOSE file '" + bdoseFile + "' has no missing count for the " + ordinal(n) + "!");
    return static_cast<double>(missingCounts[n]) / static_cast<double>(context.numSamples);
}
