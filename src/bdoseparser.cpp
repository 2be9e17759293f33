#include "bdoseparser.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "error.h"
#include "floatscaler.h"

namespace {

std::string ordinal(uint32_t fileSnp) { return "#" + std::to_string(uint64_t{fileSnp} + 1) + " SNP"; }

}  // namespace

namespace bdoseread {

CheckedInput::CheckedInput(std::istream& input, const std::string& file) : stream(input), path(file) {
    const std::streamoff start = stream.tellg();
    if (start < 0) return;
    stream.seekg(0, std::ios::end);
    const std::streamoff end = stream.tellg();
    stream.seekg(start);
    if (end < start || !stream) return;
    position = static_cast<uint64_t>(start);
    size = static_cast<uint64_t>(end);
}

void CheckedInput::bytes(void* data, uint64_t count, const char* section) {
    if (count > left() || !binio::readExact(stream, data, static_cast<std::size_t>(count))) cutShort(section);
    position += count;
}

void CheckedInput::skip(uint64_t count, const char* section) {
    if (count > left()) cutShort(section);
    stream.seekg(static_cast<std::streamoff>(count), std::ios::cur);
    if (!stream) cutShort(section);
    position += count;
}

std::string CheckedInput::text(uint64_t length, const char* section) {
    if (length > left()) cutShort(section);
    std::string out(static_cast<std::size_t>(length), '\0');
    bytes(out.data(), length, section);
    return out;
}

void CheckedInput::cutShort(const char* section) const { bdoseread::cutShort(path, section); }

void cutShort(const std::string& path, const std::string& section) {
    Error::fail("BDOSE file '" + path + "' is cut short in its " + section + "!");
}

bool isMagic(const char* bytes) {
    return std::memcmp(bytes, "bdose1.", 7) == 0 && (bytes[7] == '0' || bytes[7] == '1');
}

std::array<char, 8> readMagic(CheckedInput& in, const std::string& path) {
    std::array<char, 8> magic{};
    if (in.left() < magic.size()) Error::fail("File '" + path + "' is not a file from Tesmaro!");
    in.bytes(magic.data(), magic.size(), "header");
    if (!isMagic(magic.data())) Error::fail("File '" + path + "' is not a file from Tesmaro!");
    return magic;
}

void readCommonHeader(CheckedInput& in, const std::string& path, uint8_t version, Bdose::Context& context) {
    const std::array<char, 8> magic = readMagic(in, path);
    const char digit = static_cast<char>('0' + version);
    if (magic[7] != digit) Error::fail("File '" + path + "' is not a file of v1." + digit + " from Tesmaro!");
    context.magicNumber = magic;
    context.version = version;
    const char* section = "header";
    context.bgenPath = in.text(in.value<uint32_t>(section), section);
    context.bgenSize = in.value<uint64_t>(section);
    context.firstBytes.resize(static_cast<std::size_t>(std::min<uint64_t>(context.bgenSize, 1000)));
    in.bytes(context.firstBytes.data(), context.firstBytes.size(), section);
    context.bdoseSize = in.value<uint64_t>(section);
    context.numSamples = in.value<uint32_t>(section);
    context.numSNPs = in.value<uint32_t>(section);
}

namespace {

// Walks the fields of one record; false once a field would run past its end.
class RecordCursor {
public:
    explicit RecordCursor(const std::vector<uint8_t>& record) : data(record) {}

    template <class T>
    bool value(T* out) {
        if (data.size() - at < sizeof(T)) return false;
        *out = binio::loadLE<T>(data.data() + at);
        at += sizeof(T);
        return true;
    }

    template <class Length>
    bool text(std::string* out) {
        Length length = 0;
        if (!value(&length) || data.size() - at < length) return false;
        out->assign(reinterpret_cast<const char*>(data.data() + at), length);
        at += length;
        return true;
    }

    bool atEnd() const { return at == data.size(); }

private:
    const std::vector<uint8_t>& data;
    std::size_t at = 0;
};

}  // namespace

Meta readRecord(CheckedInput& in, const std::string& path, uint32_t fileSnp, std::vector<uint8_t>* scratch) {
    const char* section = "meta block";
    const uint32_t length = in.value<uint32_t>(section);
    if (length > in.left()) in.cutShort(section);
    scratch->resize(length);
    in.bytes(scratch->data(), length, section);

    RecordCursor cursor(*scratch);
    uint32_t snpNumber = 0;
    Meta meta;
    if (!cursor.value(&snpNumber) || !cursor.text<uint16_t>(&meta.rsid))
        Error::fail("Could not read information for the " + ordinal(fileSnp) + " in BDOSE file '" + path + "'!");
    meta.alleles.resize(2);
    if (!cursor.value(&meta.position) || !cursor.text<uint16_t>(&meta.chromosome) ||
        !cursor.text<uint32_t>(&meta.alleles[0]) || !cursor.text<uint32_t>(&meta.alleles[1]) || !cursor.atEnd())
        Error::fail("Could not read information for SNP with rsid '" + meta.rsid + "'!");
    // The writer numbers the records by their place; another number means moved or damaged records.
    if (snpNumber != fileSnp)
        Error::fail("BDOSE file '" + path + "' holds an invalid SNP number in the record of the " + ordinal(fileSnp) +
                    "!");
    return meta;
}

}  // namespace bdoseread

namespace {

// The dosage code of the file `path`; a code above 3 ends the run.
const Bdose::DosageCode& checkedCode(uint8_t compression, const std::string& path) {
    const Bdose::DosageCode* code = Bdose::dosageCode(compression);
    if (code == nullptr) Error::fail("Invalid compression setting in BDOSE file '" + path + "'!");
    return *code;
}

// Decodes the values of `samples` (their positions in `bytes`) into out; false when a stored
// value is neither the sentinel nor within the code's range 0 .. 2^(k+1).
template <class T>
bool decodeDosages(const std::vector<uint8_t>& bytes, const SampleList& samples, const Bdose::DosageCode& code,
                   double* out) {
    const uint64_t largest = uint64_t{1} << (code.exponent + 1);
    // Multiplying by a power of two is exact here, the same as ldexp but without a call.
    const double scale = std::ldexp(1.0, -code.exponent);
    bool valid = true;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const uint64_t v = binio::loadLE<T>(bytes.data() + uint64_t{samples[i].first} * sizeof(T));
        const bool missing = v == code.sentinel;
        valid = valid && (missing || v <= largest);
        out[i] = missing ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(v) * scale;
    }
    return valid;
}

// Names the block of BDOSE SNP `fileSnp` (0-based) in messages.
std::string blockName(uint32_t fileSnp) { return "dosage block of the " + ordinal(fileSnp); }

}  // namespace

BdoseParser::BdoseParser() = default;
BdoseParser::BdoseParser(std::string file) : bdoseFile(std::move(file)) {}
BdoseParser::~BdoseParser() = default;
BdoseParser::BdoseParser(BdoseParser&&) noexcept = default;
BdoseParser& BdoseParser::operator=(BdoseParser&&) noexcept = default;

void BdoseParser::DCtxFree::operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }

void BdoseParser::initBdose(const std::string& bdose, const std::string& z, const SnpIndex& snpIndex,
                            uint32_t nSamples) {
    openAndReadHeader(bdose, z, snpIndex);
    if (context.numSamples != nSamples)
        Error::fail("File '" + bdoseFile + "' contains " + std::to_string(context.numSamples) + " samples but " +
                    std::to_string(nSamples) + " samples are specified for the dataset!");
    includedSamples.clear();
    readBody(snpIndex, &includedSamples);
    finishInit(snpIndex);
}

void BdoseParser::initBdose(const std::string& masterFile, const std::string& z, const std::string& inclFile,
                            const std::string& bdose, const SnpIndex& snpIndex, uint32_t nSamples) {
    openAndReadHeader(bdose, z, snpIndex);
    SampleList fileSamples;
    readBody(snpIndex, &fileSamples);
    // The inclusion file must list exactly nSamples of the file's samples.
    includedSamples.clear();
    SampleParser().readSample(masterFile, inclFile, bdoseFile, context.numSamples, nSamples, fileSamples,
                              &includedSamples);
    finishInit(snpIndex);
}

void BdoseParser::openAndReadHeader(const std::string& bdose, const std::string& z, const SnpIndex& snpIndex) {
    bdoseFile = bdose;
    zFile = z;
    state = 0;
    auto file = std::make_unique<std::ifstream>(bdoseFile, std::ios::in | std::ios::binary);
    if (!file->is_open()) Error::fail("File '" + bdoseFile + "' cannot be opened!");
    stream = std::move(file);
    readHeader(*stream, bdoseFile, context);
    if (context.numSNPs < snpIndex.size())
        Error::fail("Different number of SNPs in file '" + zFile + "' (" + std::to_string(snpIndex.size()) +
                    " SNPs) and file '" + bdoseFile + "' (" + std::to_string(context.numSNPs) + " SNPs)!");
    codeWidth = checkedCode(context.compression, bdoseFile).width;
}

void BdoseParser::readBody(const SnpIndex& snpIndex, SampleList* samples) {
    bdoseread::CheckedInput in(*stream, bdoseFile);
    fileSize = in.fileSize();
    readMeta(in, snpIndex);
    checkAllMatched(snpIndex);
    readSampleIDs(in, samples);
    readOffsets(in, snpIndex);
}

void BdoseParser::readMeta(bdoseread::CheckedInput& in, const SnpIndex& snpIndex) {
    snpMatch.clear();
    for (uint32_t i = 0; i < context.numSNPs; ++i)
        bufferToMeta(i, bdoseread::readRecord(in, bdoseFile, i, &blockBuffer), snpIndex);
}

void BdoseParser::bufferToMeta(uint32_t fileSnp, const Meta& record, const SnpIndex& snpIndex) {
    // Meta order compares all five identity fields, so a found entry is the same SNP. Of several
    // records of one SNP the first wins: the bimap refuses a number it already holds.
    const auto found = snpIndex.left.find(record);
    if (found != snpIndex.left.end()) snpMatch.insert(SnpMatch::value_type(found->second, fileSnp));
}

void BdoseParser::checkAllMatched(const SnpIndex& snpIndex) const {
    for (const auto& entry : snpIndex.right) {
        if (snpMatch.left.find(entry.first) == snpMatch.left.end())
            Error::fail("SNP with rsID '" + entry.second.rsid + "' in line " + std::to_string(uint64_t{entry.first} + 2) +
                        " of file '" + zFile + "' could not be matched with SNP in BDOSE file '" + bdoseFile + "'!");
    }
}

void BdoseParser::readSampleIDs(bdoseread::CheckedInput& in, SampleList* samples) const {
    const char* section = "sample-ID block";
    if (in.tell() != context.sampleIdStart) invalid("position of its sample-ID block");
    if (uint64_t{context.numSamples} * 4 > in.left()) in.cutShort(section);
    samples->reserve(samples->size() + context.numSamples);
    for (uint32_t j = 0; j < context.numSamples; ++j) {
        std::string id = in.text(in.value<uint32_t>(section), section);
        samples->emplace_back(j, std::move(id));
    }
}

void BdoseParser::readOffsets(bdoseread::CheckedInput& in, const SnpIndex& snpIndex) {
    const uint64_t tableBytes = uint64_t{context.numSNPs} * 8;
    if (in.tell() != context.offsetTableStart) invalid("position of its offset table");
    if (context.dosageStart != context.offsetTableStart + tableBytes) invalid("position of its first dosage block");
    if (tableBytes > in.left()) in.cutShort("offset table");
    blockBuffer.resize(static_cast<std::size_t>(tableBytes));
    in.bytes(blockBuffer.data(), tableBytes, "offset table");
    const auto entry = [&](uint32_t fileSnp) {
        return binio::loadLE<uint64_t>(blockBuffer.data() + uint64_t{fileSnp} * 8);
    };
    // The blocks lie back to back from D on, in file order. A block holds at least its two u32
    // fields, so each starts 8 bytes or more after the one before and before the end of the file.
    // Every entry is checked, also those of SNPs that the Z file does not list: one damaged entry
    // means that the table cannot be trusted.
    for (uint32_t i = 0; i < context.numSNPs; ++i) {
        const uint64_t offset = entry(i);
        const bool placed = i == 0 ? offset == context.dosageStart : offset >= entry(i - 1) + 8;
        if (!placed || offset > fileSize - 8) invalid("offset for the " + blockName(i));
    }
    // A block ends where the next one starts, the last one at the end of the file.
    blockOffsets.assign(snpIndex.size(), 0);
    blockEnds.assign(snpIndex.size(), 0);
    for (const auto& pair : snpMatch.left) {
        blockOffsets[pair.first] = entry(pair.second);
        blockEnds[pair.first] = pair.second + 1 < context.numSNPs ? entry(pair.second + 1) : fileSize;
    }
}

void BdoseParser::finishInit(const SnpIndex& snpIndex) {
    snpStatus.assign(snpIndex.size(), SnpStatus(false, 0));
    state = 1;
}

void BdoseParser::invalid(const std::string& what) const {
    Error::fail("BDOSE file '" + bdoseFile + "' holds an invalid " + what + "!");
}

void BdoseParser::readDosageDataBlock(uint32_t snp, double*& out) {
    if (state != 1 || snp >= blockOffsets.size())
        Error::fail("BDOSE file '" + bdoseFile + "' has no dosage block for SNP number " +
                    std::to_string(uint64_t{snp} + 1) + " of file '" + zFile + "'!");
    const uint32_t fileSnp = snpMatch.left.find(snp)->second;
    stream->clear();
    stream->seekg(static_cast<std::streamoff>(blockOffsets[snp]));
    readCompressedDosageData(*stream, blockEnds[snp] - blockOffsets[snp], &blockBuffer, fileSnp);
    uncompressDosageData(blockBuffer, &dosageBuffer, fileSnp);
    if (!convertIntegerToFloatDosages(dosageBuffer, out)) invalid("dosage in the " + blockName(fileSnp));
    uint32_t missing = 0;
    FloatScaler(static_cast<uint32_t>(includedSamples.size()), out, &missing);
    if (!snpStatus[snp].first) snpStatus[snp] = SnpStatus(true, missing);
}

void BdoseParser::readCompressedDosageData(std::istream& input, uint64_t span, std::vector<uint8_t>* block,
                                           uint32_t fileSnp) const {
    uint32_t length = 0;
    if (!binio::readLE(input, &length)) bdoseread::cutShort(bdoseFile, blockName(fileSnp));
    // The block holds U (4 bytes) and the frame, and fills its span exactly.
    if (uint64_t{length} + 4 != span) invalid("length of the " + blockName(fileSnp));
    block->resize(length);
    if (!binio::readExact(input, block->data(), length)) bdoseread::cutShort(bdoseFile, blockName(fileSnp));
}

void BdoseParser::uncompressDosageData(const std::vector<uint8_t>& block, std::vector<uint8_t>* out,
                                       uint32_t fileSnp) {
    if (block.size() < 4) invalid("length of the " + blockName(fileSnp));
    const uint32_t size = binio::loadLE<uint32_t>(block.data());
    if (size != uint64_t{context.numSamples} * codeWidth) invalid("uncompressed size of the " + blockName(fileSnp));
    if (!dctx) {
        dctx.reset(ZSTD_createDCtx());
        if (!dctx) Error::fail("Cannot allocate a decompression context for BDOSE file '" + bdoseFile + "'!");
    }
    out->resize(size);
    const std::size_t got = ZSTD_decompressDCtx(dctx.get(), out->data(), size, block.data() + 4, block.size() - 4);
    if (ZSTD_isError(got) || got != size)
        Error::fail("Could not decompress the " + blockName(fileSnp) + " in BDOSE file '" + bdoseFile + "'!");
}

bool BdoseParser::convertIntegerToFloatDosages(const std::vector<uint8_t>& bytes, double*& out) const {
    const Bdose::DosageCode& code = checkedCode(context.compression, bdoseFile);
    switch (code.width) {
        case 1: return decodeDosages<uint8_t>(bytes, includedSamples, code, out);
        case 2: return decodeDosages<uint16_t>(bytes, includedSamples, code, out);
        case 4: return decodeDosages<uint32_t>(bytes, includedSamples, code, out);
        default: return decodeDosages<uint64_t>(bytes, includedSamples, code, out);
    }
}

void BdoseParser::readHeader(std::istream& input, const std::string& path, Bdose::Context& bdoseContext) const {
    bdoseread::CheckedInput in(input, path);
    bdoseread::readCommonHeader(in, path, 1, bdoseContext);
    const char* section = "header";
    bdoseContext.compression = in.value<uint8_t>(section);
    bdoseContext.sampleIdStart = in.value<uint64_t>(section);
    bdoseContext.offsetTableStart = in.value<uint64_t>(section);
    bdoseContext.dosageStart = in.value<uint64_t>(section);
}

bool BdoseParser::readMagicNumber(std::istream& input) const { return readMagicNumber(input, bdoseFile); }

bool BdoseParser::readMagicNumber(std::istream& input, const std::string& path) const {
    bdoseread::CheckedInput in(input, path);
    bdoseread::readMagic(in, path);
    return true;
}

std::string BdoseParser::readFilename(std::istream& input) const {
    bdoseread::CheckedInput in(input, bdoseFile);
    return in.text(in.value<uint32_t>("header"), "header");
}

uint64_t BdoseParser::readFileSize(std::istream& input) const {
    bdoseread::CheckedInput in(input, bdoseFile);
    return in.value<uint64_t>("header");
}

std::vector<uint8_t> BdoseParser::readFirstBytes(std::istream& input, int64_t n) const {
    bdoseread::CheckedInput in(input, bdoseFile);
    if (n < 0 || static_cast<uint64_t>(n) > in.left()) in.cutShort("header");
    std::vector<uint8_t> bytes(static_cast<std::size_t>(n));
    in.bytes(bytes.data(), bytes.size(), "header");
    return bytes;
}

uint32_t BdoseParser::readNumSamples(std::istream& input, const std::string& path) const {
    readMagicNumber(input, path);
    bdoseread::CheckedInput in(input, path);
    const char* section = "header";
    in.skip(in.value<uint32_t>(section), section);
    in.skip(std::min<uint64_t>(in.value<uint64_t>(section), 1000), section);
    in.skip(8, section);
    return in.value<uint32_t>(section);
}
