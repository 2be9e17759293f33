#include "corrreader.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>

#include "binio.h"
#include "corrwriter.h"
#include "error.h"

namespace {

const char bcorMagic[] = "bcor1.1";
const std::size_t bcorMagicSize = 7;
// Magic, file size, N, M, code and block offset.
const uint64_t bcorHeaderSize = 32;
// A record's length field and the fixed part of its body (number, four lengths, position).
const uint64_t minRecordSize = 4 + 20;

const std::string readLabel = "- Reading BCOR LD       : ";

uint64_t pairCount(uint64_t m) { return m < 2 ? 0 : m * (m - 1) / 2; }

}  // namespace

CorrReader::CorrReader(const FlagMap& flagMap_, const Flag::Values& values_, const Masterfile& masterfile_)
    : flagMap(flagMap_), masterfile(masterfile_), rsids(values_.rsids), values(values_) {}

void CorrReader::read(uint32_t i) {
    regionfiles = Regionfiles();
    regionfiles.files = masterfile.files.at(i);
    data.init(flagMap, values, regionfiles);
    if (flagMap.has("text-to-bcor")) {
        data.readSumStats(&values.rsids);
        data.printSummaryData();
        nSamples = data.nSamples;
        nSNPs = data.nSNPs;
        meta = data.sumStatsData.snpIndex;
        readText();
    } else {
        guardMemory(regionfiles.get("bcor"), [&] { readBCOR(); });
    }
}

void CorrReader::readMagicNumber(std::istream& stream) {
    char magic[bcorMagicSize];
    if (!binio::readExact(stream, magic, sizeof magic) || !std::equal(magic, magic + bcorMagicSize, bcorMagic))
        Error::fail("File '" + bcorFile + "' is not a file from Tesmaro!");
}

void CorrReader::readBCOR() {
    bcorFile = regionfiles.get("bcor");
    if (bcorFile.empty()) Error::fail("", "No filename is specified!");
    std::ifstream stream;
    if (!openReadable(stream, bcorFile, std::ios::binary)) Error::fail("", "File '" + bcorFile + "' cannot be opened!");

    readMagicNumber(stream);
    uint64_t sizeField = 0, D = 0;
    uint32_t n = 0, m = 0;
    if (!binio::readLE(stream, &sizeField) || !binio::readLE(stream, &n) || !binio::readLE(stream, &m) ||
        !binio::readLE(stream, &compression) || !binio::readLE(stream, &D))
        Error::fail("File '" + bcorFile + "' ends within its header!");
    nSamples = n;
    nSNPs = m;

    stream.seekg(0, std::ios::end);
    const std::streamoff end = stream.tellg();
    if (end < 0) Error::fail("Failed to read file '" + bcorFile + "'!");
    bcorSize = static_cast<uint64_t>(end);
    if (bcorSize < sizeField)
        Error::fail("File '" + bcorFile + "' is truncated: it holds " + std::to_string(bcorSize) +
                    " bytes but its header gives " + std::to_string(sizeField) + " bytes!");
    if (bcorSize > sizeField)
        Error::fail("File '" + bcorFile + "' holds " + std::to_string(bcorSize) + " bytes but its header gives " +
                    std::to_string(sizeField) + " bytes!");
    if (nSNPs < 2) Error::fail("File '" + bcorFile + "' holds fewer than two SNPs!");
    if (D < bcorHeaderSize + minRecordSize * nSNPs || D > bcorSize)
        Error::fail("File '" + bcorFile + "' gives an offset of its correlation block outside the file!");
    // A code above 3 is reported when the first correlation is decoded.
    width = bcorCodeWidth(compression);
    if (width != 0 && ((bcorSize - D) % width != 0 || (bcorSize - D) / width != pairCount(nSNPs)))
        Error::fail("The correlation block of file '" + bcorFile + "' does not match its number of SNPs!");
    stream.seekg(static_cast<std::streamoff>(bcorHeaderSize));

    const bool range = flagMap.has("range");
    const bool byRsids = !range && flagMap.has("rsids");
    if (range || byRsids) {
        readMeta(stream, D);
        if (range)
            selectRange();
        else
            findRsids();
    }

    stream.seekg(static_cast<std::streamoff>(D));
    std::cout << "\n- Number of samples     : " << nSamples << std::endl << "- Number of SNPs        : ";
    if (range)
        std::cout << rangeIndices[1] - rangeIndices[0] << "/" << nSNPs << std::endl;
    else
        std::cout << nSNPs << std::endl;

    if (range) {
        nRange = rangeIndices[1] - rangeIndices[0];
        nValues = pairCount(nRange);
    } else if (byRsids) {
        nValues = rsids.order.size() * nSNPs;
    } else {
        nValues = pairCount(nSNPs);
    }
    reserveValues(nValues, bcorFile);
    if (byRsids)
        readCorr_oneSNP(stream, D);
    else
        readCorr(stream, D);
    std::cout << "\r- Reading BCOR file     : done!   " << std::endl;
}

std::string CorrReader::recordName(uint64_t number) const {
    return "SNP record " + std::to_string(number + 1) + " of file '" + bcorFile + "'";
}

void CorrReader::readMeta(std::istream& stream, uint64_t D) {
    uint64_t at = bcorHeaderSize;
    for (uint64_t i = 0; i < nSNPs; ++i) {
        uint32_t length = 0;
        if (!binio::readLE(stream, &length)) Error::fail("Failed to read file '" + bcorFile + "'!");
        // Room before the block for this record, leaving the smallest possible records after it.
        const uint64_t room = D - at - 4 - minRecordSize * (nSNPs - i - 1);
        if (length < minRecordSize - 4 || length > room) Error::fail(recordName(i) + " has an invalid length!");
        std::vector<uint8_t> buffer(length);
        if (!binio::readExact(stream, buffer.data(), length)) Error::fail("Failed to read file '" + bcorFile + "'!");
        bufferToMeta(std::move(buffer), static_cast<uint32_t>(i));
        at += 4 + uint64_t{length};
    }
    if (at != D)
        Error::fail("The SNP records of file '" + bcorFile + "' do not end where its correlation block begins!");
}

void CorrReader::bufferToMeta(std::vector<uint8_t>&& buffer, uint32_t number) {
    const uint8_t* at = buffer.data();
    uint64_t left = buffer.size();
    // Takes `bytes` bytes as a little-endian length or value; false when the record ends first.
    auto field = [&](unsigned bytes, uint64_t* value) {
        if (left < bytes) return false;
        *value = 0;
        for (unsigned b = bytes; b-- > 0;) *value = (*value << 8) | at[b];
        at += bytes;
        left -= bytes;
        return true;
    };
    auto text = [&](unsigned lengthBytes, std::string* value) {
        uint64_t length = 0;
        if (!field(lengthBytes, &length) || length > left) return false;
        value->assign(reinterpret_cast<const char*>(at), length);
        at += length;
        left -= length;
        return true;
    };
    uint64_t stored = 0, position = 0;
    Meta snp;
    snp.alleles.resize(2);
    if (!field(4, &stored) || !text(2, &snp.rsid) || !field(4, &position) || !text(2, &snp.chromosome) ||
        !text(4, &snp.alleles[0]) || !text(4, &snp.alleles[1]) || left != 0)
        Error::fail("The fields of " + recordName(number) + " do not match its length!");
    if (stored != number)
        Error::fail(recordName(number) + " carries SNP number " + std::to_string(stored + 1) + " instead of " +
                    std::to_string(uint64_t{number} + 1) + "!");
    // The rsid starts a line of the LD vector text, whose fields are split at blanks: a Z file
    // never yields a blank or a line end in it (an empty rsid or chromosome, a tab or a trailing
    // carriage return are valid), so one can only come from a damaged file.
    if (snp.rsid.find_first_of(" \n") != std::string::npos)
        Error::fail(recordName(number) + " holds an rsID with a blank or a line end!");
    snp.position = static_cast<uint32_t>(position);
    if (!meta.insert(SnpIndex::value_type(std::move(snp), number)).second)
        Error::fail(recordName(number) + " repeats an earlier SNP!");
}

void CorrReader::selectRange() {
    const uint32_t start = values.range.front();
    const uint32_t end = values.range.back();
    std::vector<uint32_t> positions;
    positions.reserve(nSNPs);
    for (uint32_t j = 0; j < nSNPs; ++j) positions.push_back(meta.right.at(j).position);
    if (!std::is_sorted(positions.begin(), positions.end()))
        Error::fail("\n", "The SNPs in file '" + bcorFile +
                              "' are not in ascending order of position, which '--range' requires!");
    const std::string bounds =
        std::to_string(positions.front()) + "-" + std::to_string(positions.back()) + ") in file '" + bcorFile + "'!";
    if (start < positions.front() || start > positions.back())
        Error::fail("\n",
                    "Starting coordinate in --range must be in between the range of coordinates of SNPs (" + bounds);
    if (end < positions.front() || end > positions.back())
        Error::fail("\n", "End coordinate in --range must be in between the range of coordinates of SNPs (" + bounds);
    rangeIndices[0] =
        static_cast<uint32_t>(std::lower_bound(positions.begin(), positions.end(), start) - positions.begin());
    rangeIndices[1] =
        static_cast<uint32_t>(std::upper_bound(positions.begin(), positions.end(), end) - positions.begin());
}

void CorrReader::findRsids() {
    rsids.index.assign(rsids.order.size(), -1);
    for (uint32_t j = 0; j < nSNPs; ++j) {
        const std::string& id = meta.right.at(j).rsid;
        if (rsids.ids.count(id) == 0) continue;
        for (std::size_t k = 0; k < rsids.order.size(); ++k)
            if (rsids.order[k] == id) rsids.index[k] = static_cast<int32_t>(j);
    }
    std::string missing;
    for (std::size_t k = 0; k < rsids.order.size(); ++k)
        if (rsids.index[k] < 0)
            missing += "\nError: Encountered SNP with rsID '" + rsids.order[k] +
                       "' in '--rsids' but it is not included in file '" + bcorFile + "'!\n";
    if (!missing.empty()) failure::report(missing + "\n", "");
}

void CorrReader::readCodes(std::istream& stream, uint64_t count) {
    codes.resize(count * width);
    if (!binio::readExact(stream, codes.data(), codes.size()))
        Error::fail("\n\n", "Failed to read file '" + bcorFile + "'!");
}

double CorrReader::decode(const uint8_t* at) const {
    const double missing = std::numeric_limits<double>::quiet_NaN();
    switch (compression) {
        case 0: {
            const uint16_t x = binio::loadLE<uint16_t>(at);
            return x == 0xD000 ? missing : static_cast<float>(x * 0x1p-14 - 1.0);
        }
        case 1: {
            const uint32_t x = binio::loadLE<uint32_t>(at);
            return x == 0xD0000000u ? missing : static_cast<float>(static_cast<float>(x) * 0x1p-30 - 1.0);
        }
        case 2: {
            const uint64_t x = binio::loadLE<uint64_t>(at);
            return x == 0xD000000000000000u ? missing : static_cast<float>(static_cast<float>(x) * 0x1p-62 - 1.0);
        }
        case 3: {
            const uint8_t x = *at;
            return x == 0xD0 ? missing : static_cast<float>(x * 0x1p-6 - 1.0);
        }
        default:
            break;
    }
    Error::fail("Invalid compression setting in BCOR file '" + bcorFile + "'!");
}

void CorrReader::appendDecoded(uint64_t k, uint64_t row, uint64_t column) {
    const double r = decode(codes.data() + k * width);
    if (!std::isnan(r)) checkRange(row, column, r, "bcor");
    R.push_back(r);
}

void CorrReader::readCorr(std::istream& stream, uint64_t D) {
    const bool range = flagMap.has("range");
    const uint64_t n = range ? nRange : nSNPs;
    if (n < 2) return;
    const uint64_t first = rangeIndices[0];
    for (uint64_t f = 0; f + 1 < n; ++f) {
        if (f % 5 == 0) printStatus(f, n, readLabel);
        if (range) stream.seekg(static_cast<std::streamoff>(D + getIndex(first + f, first + f + 1, nSNPs) * width));
        readCodes(stream, n - f - 1);
        for (uint64_t c = f + 1; c < n; ++c) appendDecoded(c - f - 1, f, c);
    }
}

void CorrReader::readCorr_oneSNP(std::istream& stream, uint64_t D) {
    const uint64_t nListed = rsids.order.size();
    for (uint64_t j = 0; j < nSNPs; ++j) {
        for (uint64_t k = 0; k < nListed; ++k) {
            const uint64_t s = static_cast<uint64_t>(rsids.index[k]);
            if (s == j) {
                R.push_back(1.0);
                continue;
            }
            if ((k + j * nListed) % 5 == 0) printStatus(k + j * nListed, nListed * nSNPs, readLabel);
            stream.seekg(static_cast<std::streamoff>(D + getIndex(j, s, nSNPs) * width));
            readCodes(stream, 1);
            appendDecoded(0, j, s);
        }
    }
}

bool CorrReader::checkRange(uint64_t row, uint64_t column, double r, const std::string& columnName) const {
    if (r < -1.0 || r > 1.0)
        Error::fail("\n\n", "Correlation " + Error::to_string(r, 4) + " between SNP " + std::to_string(row + 1) +
                                " and SNP " + std::to_string(column + 1) + " in file '" + regionfiles.get(columnName) +
                                "' is not between -1.0 and 1.0!");
    return true;
}

uint64_t CorrReader::getIndex(uint64_t a, uint64_t b, uint64_t M) const {
    const uint64_t i = std::min(a, b), j = std::max(a, b);
    return i * (2 * M - i - 1) / 2 + (j - i - 1);
}

void CorrReader::printStatus(uint64_t i, uint64_t n, const std::string& label) const {
    std::cout << std::fixed << std::setprecision(3) << "\r" << label
              << (static_cast<double>(i) + 1.0) * 100.0 / (static_cast<double>(n) - 1.0) << "%" << std::flush;
}

void CorrReader::reserveValues(uint64_t count, const std::string& file) {
    try {
        R.reserve(count);
    } catch (const std::exception&) {  // std::bad_alloc, or std::length_error beyond max_size
        Error::fail("\n\n", "Not enough memory to read file '" + file + "'!");
    }
}

void CorrReader::readText() {
    const std::string ld = regionfiles.get("ld");
    std::ifstream stream;
    openTextFile(stream, ld);
    reserveValues(pairCount(nSNPs), ld);
    std::cout << "- Reading correlations  :" << std::flush;
    uint64_t lines = 0;
    guardTextRead(stream, ld, [&] {
        for (std::string line; std::getline(stream, line); ++lines) {
            if (lines % 5 == 0) printStatus(lines, nSNPs, "- Reading correlations  : ");
            parseLine(line, lines);
        }
    });
    if (stream.bad()) Error::fail("\n\n", "Failed to read file '" + ld + "'!");
    std::cout << "\r- Reading correlations  : done!" << std::flush;
    if (lines != nSNPs)
        Error::fail("\n\n", "Different number of SNPs in file '" + regionfiles.get("z") + "' (" +
                                std::to_string(nSNPs) + " SNPs) and file '" + ld + "' (" + std::to_string(lines) +
                                " SNPs)!");
}

void CorrReader::parseLine(const std::string& line, uint64_t r) {
    const std::vector<std::string> fields = splitFields(line, ' ');
    uint64_t n = r + 1;
    for (uint64_t c = r + 1; c < fields.size(); ++c) {
        double value = 0;
        // The reporting conversion builds its messages; call it only for a field that fails.
        if (!parseWholeDouble(fields[c], &value))
            value = stringToFloat(fields[c], regionfiles.get("ld"), static_cast<uint32_t>(r + 1),
                                  static_cast<uint32_t>(c + 1));
        checkRange(r, c, value, "ld");
        R.push_back(value);
        ++n;
    }
    checkNumOfSNPsLine(n, r);
}

void CorrReader::checkNumOfSNPsLine(uint64_t n, uint64_t r) const {
    if (n == nSNPs) return;
    const std::string ld = regionfiles.get("ld");
    Error::fail("\n\n", "Different number of SNPs in file '" + regionfiles.get("z") + "' (" + std::to_string(nSNPs) +
                            " SNPs) and file '" + ld + "'. Expected " + std::to_string(nSNPs) + " SNPs in row " +
                            std::to_string(r + 1) + " in file '" + ld + "' but encountered only " + std::to_string(n) +
                            " SNPs!");
}
