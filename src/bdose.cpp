#include "bdose.h"

#include <fcntl.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <new>

#include <zstd.h>

#include "bgenparser.h"
#include "error.h"
#include "floatscaler.h"
#include "threads.h"

namespace {

const std::string kStage = "\r- Writing BDOSE file    : ";
const char* const kMetaPart = ".meta.tmp";
const char* const kDosagePart = ".bdose.tmp";
constexpr int kZstdLevel = 17;
constexpr std::size_t kStatusWidth = 57;

// A fixed status line, padded with blanks so that it covers the longer line it replaces.
void status(const std::string& text) {
    std::string line = kStage + text;
    if (line.size() < kStatusWidth) line.append(kStatusWidth - line.size(), ' ');
    std::cout << line << std::flush;
}

// The progress of one entry-by-entry stage: a percentage (standard output is in fixed notation
// with three decimals from the header on).
void percent(const std::string& text, uint64_t done, uint64_t total) {
    std::cout << kStage << text << static_cast<double>(done) * 100.0 / static_cast<double>(total) << "%" << std::flush;
}

// The progress of a parallel stage or a merge: every thread counts its items, the calling
// thread (thread 0 of a region) prints whole percentages at every further tenth of the work.
class Progress {
public:
    Progress(uint64_t items, std::string linePrefix)
        : total(items), step(items / 10), next(items / 10), prefix(std::move(linePrefix)) {}

    void print() {
        const uint64_t done = count.load(std::memory_order_relaxed);
        if (done < next) return;
        next += step;
        std::cout << prefix << done * 100 / total << "/100%" << std::flush;
    }
    void add() { count.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> count{0};
    uint64_t total;
    uint64_t step;
    uint64_t next;
    std::string prefix;
};

// The contiguous share [first, first + size) of `items` taken by thread t of a team of
// `team`: the first (items mod team) threads take one item more.
struct Share {
    uint64_t first;
    uint64_t size;
};
Share threadShare(uint64_t items, uint64_t team, uint64_t t) {
    const uint64_t base = items / team;
    const uint64_t extra = items % team;
    if (t < extra) return {t * (base + 1), base + 1};
    return {t * base + extra, base};
}

std::string partFile(const std::string& bdosePath, const char* suffix, uint64_t t) {
    return bdosePath + suffix + std::to_string(t);
}

bool isMagic(const char* bytes) {
    return std::memcmp(bytes, "bdose1.", 7) == 0 && (bytes[7] == '0' || bytes[7] == '1');
}

// The last character of the magic of the BDOSE file at `path`; a failure ends the run.
char probeVersion(const std::string& path) {
    std::ifstream stream(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = stream ? static_cast<std::streamoff>(stream.tellg()) : -1;
    if (!stream || size <= 8) Error::fail("BDOSE file '" + path + "' cannot be opened!");
    stream.seekg(0);
    char magic[8];
    if (!binio::readExact(stream, magic, sizeof magic) || !isMagic(magic)) {
        Error::fail("File '" + path + "' is not a file from Tesmaro!");
    }
    return magic[7];
}

void appendText32(std::vector<uint8_t>& out, const std::string& text, const std::string& what) {
    if (text.size() > std::numeric_limits<uint32_t>::max()) Error::fail(what);
    binio::appendLE<uint32_t>(out, static_cast<uint32_t>(text.size()));
    binio::appendBytes(out, text.data(), text.size());
}

void writeBytes(std::ostream& stream, const std::vector<uint8_t>& bytes) {
    stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <class T>
void writeLE(std::ostream& stream, T value) {
    uint8_t bytes[sizeof(T)];
    binio::storeLE(bytes, value);
    stream.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

}  // namespace

// One worker thread's own resources: its BGEN stream and header, scratch buffers, and a zstd
// context reused from block to block (allocating one per block makes the threads contend).
struct Bdose::Worker {
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> zstd{nullptr, ZSTD_freeCCtx};
    std::vector<uint8_t> block;
    std::ifstream stream;
    genfile::bgen::Context context;
    std::vector<genfile::bgen::byte_t> stored;
    std::vector<genfile::bgen::byte_t> uncompressed;
    genfile::bgen::ProbabilityTable probabilities;
    uint32_t dataAlleles = 0;  // K of the probability data
    Meta meta;
    std::string varid;
};

const Bdose::DosageCode* Bdose::dosageCode(uint8_t compression) {
    static const DosageCode codes[] = {
        {2, 14, 0xD000u},
        {4, 30, 0xD0000000u},
        {8, 62, 0xD000000000000000u},
        {1, 6, 0xD0u},
    };
    return compression < 4 ? &codes[compression] : nullptr;
}

void Bdose::init(uint32_t threads, const Context& bdoseContext, const std::vector<BgenIndex>& indexes,
                 const SnpIndex& index, const SampleList& includedSamples) {
    nThreads = std::max<uint32_t>(threads, 1);
    context = bdoseContext;
    bgenIndexes = indexes;
    snpIndex = index;
    samples = includedSamples;
    if (samples.size() != context.numSamples || bgenIndexes.size() != context.numSNPs ||
        snpIndex.size() != context.numSNPs) {
        Error::fail("The samples or SNPs of file '" + context.bdosePath + "' do not match its dataset!");
    }
}

int32_t Bdose::readVersion(const std::string& path, int32_t* version) const {
    *version = probeVersion(path) - '0';
    return *version;
}

char Bdose::readVersion(const std::string& path) { return probeVersion(path); }

void Bdose::computeDosages(const genfile::bgen::ProbabilityTable& probabilities, const SampleList& samples,
                           double* row) {
    for (std::size_t j = 0; j < samples.size(); ++j) {
        const std::vector<double>& p = probabilities[samples[j].first];
        if (p[0] == -1.0 || p[1] == -1.0 || p[2] == -1.0) {
            row[j] = std::numeric_limits<double>::quiet_NaN();
        } else {
            row[j] = ((p[2] + p[2]) + p[1]) / ((p[0] + p[1]) + p[2]);
        }
    }
}

void Bdose::computeMeanSD(uint32_t n, const double* row, double* mean, double* sd, uint32_t* missing) {
    computeWelfordMeanSD(n, row, mean, sd, missing);
}

void Bdose::writeDosagesToBuffer(uint8_t compression, const double* dosages, std::vector<uint8_t>* out) {
    const DosageCode* code = dosageCode(compression);
    if (code == nullptr) Error::fail("Invalid compression setting!");
    // The largest valid dosage, 2, is stored as 2^(exponent + 1); values outside [0, 2] (rounding
    // in the genotype probabilities) are held to that range before the integer conversion.
    const double largest = std::ldexp(1.0, code->exponent + 1);
    const std::size_t n = out->size() / code->width;
    uint8_t* at = out->data();
    for (std::size_t j = 0; j < n; ++j, at += code->width) {
        uint64_t value = code->sentinel;
        if (!std::isnan(dosages[j])) {
            const double scaled = std::trunc(std::ldexp(dosages[j], code->exponent));
            value = scaled <= 0.0 ? 0 : scaled >= largest ? static_cast<uint64_t>(largest)
                                                          : static_cast<uint64_t>(scaled);
        }
        switch (code->width) {
            case 1: binio::storeLE<uint8_t>(at, static_cast<uint8_t>(value)); break;
            case 2: binio::storeLE<uint16_t>(at, static_cast<uint16_t>(value)); break;
            case 4: binio::storeLE<uint32_t>(at, static_cast<uint32_t>(value)); break;
            default: binio::storeLE<uint64_t>(at, value); break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Shared steps of both versions

int Bdose::team() const { return teamSize(nThreads, context.numSNPs); }

void Bdose::PartFile::append(const void* data, std::size_t bytes) {
    if (!binio::pwriteFull(fd.get(), data, bytes, size)) Error::fail("\n\n", "Failed to write to file '" + path + "'!");
    size += bytes;
}

void Bdose::checkStream(const std::string& what) const {
    if (!bdoseStream.good()) Error::fail("\n\n", "Failed to " + what + " file '" + context.bdosePath + "'!");
}

void Bdose::flushStream(const std::string& what) {
    bdoseStream.flush();
    checkStream(what);
}

void Bdose::closeStream(const std::string& what) {
    bdoseStream.close();
    if (bdoseStream.fail()) Error::fail("\n\n", "Failed to " + what + " file '" + context.bdosePath + "'!");
}

void Bdose::writeHeader() {
    // Percentages are printed with three decimals from here on.
    std::cout << std::fixed << std::setprecision(3);
    status("header");
    std::vector<uint8_t> header(context.magicNumber.begin(), context.magicNumber.end());
    appendText32(header, context.bgenPath, "The BGEN path of file '" + context.bdosePath + "' is too long!");
    binio::appendLE<uint64_t>(header, context.bgenSize);
    binio::appendBytes(header, context.firstBytes.data(), context.firstBytes.size());
    // The size and the 1.1 positions are placeholders (0) until the writer patches them.
    sizeFieldPos = header.size();
    binio::appendLE<uint64_t>(header, 0);
    binio::appendLE<uint32_t>(header, context.numSamples);
    binio::appendLE<uint32_t>(header, context.numSNPs);
    if (context.version == 1) {
        header.push_back(context.compression);
        sampleIdSlot = header.size();
        binio::appendLE<uint64_t>(header, 0);
        offsetTableSlot = header.size();
        binio::appendLE<uint64_t>(header, 0);
        dosageStartSlot = header.size();
        binio::appendLE<uint64_t>(header, 0);
        headerEnd = header.size();
    }
    writeBytes(bdoseStream, header);
    // Version 1.0 goes on in this stream; the next stage of 1.1 writes through part files.
    if (context.version == 1)
        closeStream("write the header to");
    else
        flushStream("write the header to");
    status("header done!");
}

void Bdose::writeFilesize() {
    bdoseStream.seekp(0, std::ios::end);
    const std::streamoff end = bdoseStream.tellp();
    checkStream("write the file size to");
    context.bdoseSize = static_cast<uint64_t>(end);
    bdoseStream.seekp(static_cast<std::streamoff>(sizeFieldPos));
    writeLE<uint64_t>(bdoseStream, context.bdoseSize);
    flushStream("write the file size to");
    closeStream("close");
}

void Bdose::initDosageBuffer() {
    const uint64_t rows = static_cast<uint64_t>(team());
    const uint64_t values = rows * samples.size();
    try {
        dosageBuffer.assign(values, 0.0);
    } catch (const std::bad_alloc&) {
        Error::fail("Cannot allocate buffer storing dosages during computations!. At least " +
                    convertByteToHumanReadableCount(8.0 * static_cast<double>(values)) + " memory are required.");
    }
}

void Bdose::initBgen(Worker* worker) const {
    worker->stream.open(context.bgenPath, std::ios::binary);
    if (!worker->stream) Error::fail("Failed to open file '" + context.bgenPath + "'!");
    uint32_t offset = 0;
    worker->context.path = context.bgenPath;
    worker->context.index_file = context.bgiPath;
    genfile::bgen::read_offset(worker->stream, worker->context, &offset);
    genfile::bgen::read_header_block(worker->stream, &worker->context);
    if (samples.size() > 0 && maxSampleIndex() >= worker->context.number_of_samples) {
        Error::fail("File '" + context.bgenPath + "' holds fewer samples than the dataset includes!");
    }
}

uint32_t Bdose::maxSampleIndex() const {
    uint32_t largest = 0;
    for (const auto& sample : samples) largest = std::max(largest, sample.first);
    return largest;
}

void Bdose::readProbs(Worker* worker) const {
    worker->dataAlleles = genfile::bgen::read_probabilities(worker->stream, worker->context, &worker->stored,
                                                            &worker->uncompressed, &worker->probabilities);
}

void Bdose::readDosages(uint32_t n, Worker* worker, double* row) const {
    const BgenIndex& place = bgenIndexes[n];
    // The Z-file reader numbers the SNPs of the index 0 to M - 1.
    const auto zSnp = snpIndex.right.find(n);
    if (zSnp == snpIndex.right.end())
        Error::fail("SNP " + std::to_string(uint64_t{n} + 1) + " of file '" + context.bdosePath +
                    "' is missing from its SNP index!");
    const Meta& snp = zSnp->second;
    const std::string name = "SNP " + std::to_string(n + 1) + " (rsID '" + snp.rsid + "')";
    BgenParser::checkPlace(place, snp.rsid, worker->context.file_size, context.bgenPath, context.bgiPath);
    try {
        worker->stream.clear();
        worker->stream.seekg(place.file_start_position);
        BgenParser::readIndexedVariant(worker->stream, &worker->context, snp, &worker->varid, &worker->meta);
        readProbs(worker);
    } catch (const genfile::bgen::ProbabilitySumError&) {
        BgenParser::failProbabilitySum(snp.rsid, context.bgenPath);
    } catch (const genfile::bgen::BGenError&) {
        BgenParser::failProbabilityData(snp.rsid, context.bgenPath);
    } catch (const std::exception& e) {
        Error::fail("Could not read " + name + " from file '" + context.bgenPath + "' (" + e.what() + ")!");
    }
    BgenParser::checkDiploid(worker->probabilities, worker->dataAlleles, worker->meta.rsid, context.bgenPath);
    computeDosages(worker->probabilities, samples, row);
}

// ---------------------------------------------------------------------------------------------
// Version 1.0

void Bdose::openStream(int flags, std::ios::openmode mode) {
    binio::FileDescriptor fd = binio::FileDescriptor::openPositional(context.bdosePath, flags);
    if (!fd.valid() && errno == ESPIPE) Error::fail("\n\n", "File '" + context.bdosePath + "' cannot be opened!");
    bdoseStream.open(std::move(fd), mode);
}

void Bdose::write_v10() {
    openStream(O_WRONLY | O_CREAT | O_TRUNC, std::ios::out | std::ios::binary);
    writeHeader();
    writeMeta_v10();
    writeEmptyMissingnessOffsets_v10();
    writeDosages_v10();
    writeMissingnessOffsets_v10();
    writeFilesize();
    status("done!");
    std::cout << std::endl;
}

void Bdose::writeMeta_v10() {
    status("meta information 0.000%");
    const uint32_t m = context.numSNPs;
    for (uint32_t i = 0; i < m; ++i) {
        checkStream("write meta information to");
        const std::vector<uint8_t> record = metaRecord(i);
        writeLE<uint32_t>(bdoseStream, static_cast<uint32_t>(record.size()));
        writeBytes(bdoseStream, record);
        percent("meta information ", i, m);
    }
    flushStream("write meta information to");
    status("meta information done!");
}

std::vector<uint8_t> Bdose::metaRecord(uint32_t n) const {
    const auto snp = snpIndex.right.find(n);
    if (snp == snpIndex.right.end()) {
        Error::fail("SNP " + std::to_string(n + 1) + " of file '" + context.bdosePath + "' is not in its SNP list!");
    }
    return snp->second.toBuffer(n);
}

void Bdose::writeEmptyMissingnessOffsets_v10() {
    const uint32_t m = context.numSNPs;
    status("init missingness 0.000%");
    missingCounts.assign(m, 0);
    checkStream("reserve space for missingness information in");
    missingnessStart = static_cast<uint64_t>(bdoseStream.tellp());
    for (uint64_t k = 1; k <= m; ++k) {
        writeLE<uint32_t>(bdoseStream, missingCounts[k - 1]);
        percent("init missingness ", k, m);
    }
    flushStream("reserve space for missingness information in");
    status("init missingness done!");
    status("init offsets 0.000%");
    rowOffsets.assign(m, 0);
    checkStream("reserve space for dosage offsets in");
    for (uint64_t k = 1; k <= m; ++k) {
        writeLE<uint64_t>(bdoseStream, rowOffsets[k - 1]);
        percent("init offsets ", k, m);
    }
    flushStream("reserve space for dosage offsets in");
    status("init offsets done!");
}

void Bdose::writeDosages_v10() {
    status("dosages 0.000%");
    // The stage before flushed the stream: the rows go through descriptors of their own.
    rowsStart = static_cast<uint64_t>(bdoseStream.tellp());
    initDosageBuffer();
    const uint32_t m = context.numSNPs;
    const uint64_t n = samples.size();
    if (m > 0) {
        Progress progress(m, kStage + "dosages ");
#pragma omp parallel num_threads(team())
        {
            const uint64_t t = static_cast<uint64_t>(omp_get_thread_num());
            const Share share = threadShare(m, static_cast<uint64_t>(omp_get_num_threads()), t);
            Worker bgen;
            initBgen(&bgen);
            const std::string failed = "Failed to write dosages to file '" + context.bdosePath + "'!";
            binio::FileDescriptor out = binio::FileDescriptor::openPositional(context.bdosePath, O_WRONLY);
            if (!out.valid()) Error::fail("\n\n", failed);
            double* row = dosageBuffer.data() + t * n;
            std::vector<uint8_t> bytes(n * 8);
            for (uint64_t snp = share.first; snp < share.first + share.size; ++snp) {
                if (t == 0) progress.print();
                progress.add();
                rowOffsets[snp] = rowsStart + snp * n * 8;
                readDosages(static_cast<uint32_t>(snp), &bgen, row);
                double mean = 0.0, sd = 0.0;
                computeMeanSD(static_cast<uint32_t>(n), row, &mean, &sd, &missingCounts[snp]);
                standardiseRow(n, mean, sd, row);
                for (uint64_t j = 0; j < n; ++j) {
                    uint64_t bits;
                    std::memcpy(&bits, &row[j], sizeof bits);
                    binio::storeLE<uint64_t>(bytes.data() + j * 8, bits);
                }
                if (!binio::pwriteFull(out.get(), bytes.data(), bytes.size(), rowOffsets[snp])) {
                    Error::fail("\n\n", failed);
                }
            }
            if (!out.close()) Error::fail("\n\n", failed);
        }
    }
    status("dosages done!");
}

void Bdose::writeMissingnessOffsets_v10() {
    const uint32_t m = context.numSNPs;
    status("missingness 0.000%");
    bdoseStream.seekp(static_cast<std::streamoff>(missingnessStart));
    for (uint64_t k = 1; k <= m; ++k) {
        checkStream("write missingness information to");
        writeLE<uint32_t>(bdoseStream, missingCounts[k - 1]);
        percent("missingness ", k, m);
    }
    flushStream("write missingness information to");
    status("missingness done!");
    status("offsets 0.000%");
    for (uint64_t k = 1; k <= m; ++k) {
        checkStream("write offset information to");
        writeLE<uint64_t>(bdoseStream, rowOffsets[k - 1]);
        percent("offsets ", k, m);
    }
    flushStream("write offset information to");
    status("offsets done!");
}

// ---------------------------------------------------------------------------------------------
// Version 1.1

void Bdose::write_v11() {
    openStream(O_WRONLY | O_CREAT | O_TRUNC, std::ios::out | std::ios::binary);
    writeHeader();
    writeMeta_v11(&sampleIdStart);
    openStream(O_RDWR, std::ios::in | std::ios::out | std::ios::binary);
    checkStream("write sample IDs to");
    writeSampleIDs_v11();
    writeEmptyOffsets_v11();
    dosageStart = static_cast<uint64_t>(bdoseStream.tellp());
    bdoseStream.seekp(static_cast<std::streamoff>(dosageStartSlot));
    writeLE<uint64_t>(bdoseStream, dosageStart);
    // The dosages go through part files and descriptors of their own.
    closeStream("write dosage offsets to");
    status("init offsets done!");
    writeDosages_v11();
    writeOffsets_v11();
    writeFilesize();
    context.sampleIdStart = sampleIdStart;
    context.offsetTableStart = offsetTableStart;
    context.dosageStart = dosageStart;
    status("done!");
    std::cout << std::endl;
}

std::vector<std::string> Bdose::partFiles(const std::string& bdosePath, uint64_t count) {
    std::vector<std::string> paths;
    for (const char* suffix : {kMetaPart, kDosagePart})
        for (uint64_t t = 0; t < count; ++t) paths.push_back(partFile(bdosePath, suffix, t));
    return paths;
}

std::string Bdose::partFileLinkMessage(const std::string& partPath, const std::string& bdosePath) {
    return "Part file '" + partPath + "' of BDOSE file '" + bdosePath + "' is a symbolic link!";
}

std::vector<Bdose::PartFile> Bdose::createPartFiles(const char* suffix, std::size_t count) const {
    std::vector<PartFile> parts(count);
    for (std::size_t t = 0; t < count; ++t) {
        parts[t].path = partFile(context.bdosePath, suffix, t);
        parts[t].fd = binio::FileDescriptor::openPositional(parts[t].path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW);
        if (!parts[t].fd.valid()) {
            if (errno == ELOOP) Error::fail("\n\n", partFileLinkMessage(parts[t].path, context.bdosePath));
            if (errno == ESPIPE) Error::fail("\n\n", "File '" + parts[t].path + "' cannot be opened!");
            Error::fail("\n\n", "Failed to create file '" + parts[t].path + "'!");
        }
    }
    return parts;
}

void Bdose::writeMeta_v11(uint64_t* sampleIdPosition) {
    const std::size_t k = static_cast<std::size_t>(team());
    metaOrderings.assign(k, Ordering());
    std::vector<PartFile> parts = createPartFiles(kMetaPart, k);
    writeMetaSNP_v11(&parts);
    status("meta information (2/2) 0.000%");
    *sampleIdPosition = headerEnd + mergeParts(metaOrderings, parts, headerEnd, "meta information (2/2) ");
    status("meta information (2/2) done!");
}

void Bdose::writeMetaSNP_v11(std::vector<PartFile>* parts) {
    const uint32_t m = context.numSNPs;
    status("meta information (1/2) 0.000%");
    if (m > 0) {
        Progress progress(m, kStage + "meta information (1/2) ");
#pragma omp parallel num_threads(team())
        {
            const uint64_t t = static_cast<uint64_t>(omp_get_thread_num());
            const Share share = threadShare(m, static_cast<uint64_t>(omp_get_num_threads()), t);
            Ordering& ordering = metaOrderings[t];
            std::vector<uint8_t> pieces;
            for (uint64_t snp = share.first; snp < share.first + share.size; ++snp) {
                const std::vector<uint8_t> record = metaRecord(static_cast<uint32_t>(snp));
                binio::appendLE<uint32_t>(pieces, static_cast<uint32_t>(record.size()));
                binio::appendBytes(pieces, record.data(), record.size());
                ordering.written.emplace_back(static_cast<uint32_t>(snp), 4 + record.size());
                ++ordering.count;
                if (t == 0) progress.print();
                progress.add();
            }
            (*parts)[t].append(pieces.data(), pieces.size());
        }
    }
    status("meta information (1/2) done!");
}

void Bdose::writeSampleIDs_v11() {
    bdoseStream.seekp(static_cast<std::streamoff>(sampleIdSlot));
    writeLE<uint64_t>(bdoseStream, sampleIdStart);
    bdoseStream.seekp(static_cast<std::streamoff>(sampleIdStart));
    status("sample IDs 0.000%");
    const uint64_t n = samples.size();
    for (uint64_t k = 1; k <= n; ++k) {
        std::vector<uint8_t> entry;
        appendText32(entry, samples[k - 1].second, "A sample ID of file '" + context.bdosePath + "' is too long!");
        writeBytes(bdoseStream, entry);
        percent("sample IDs ", k, n);
    }
    flushStream("write sample IDs to");
    status("sample IDs done!");
}

void Bdose::writeEmptyOffsets_v11() {
    status("init offsets 0.000%");
    offsetTableStart = static_cast<uint64_t>(bdoseStream.tellp());
    bdoseStream.seekp(static_cast<std::streamoff>(offsetTableSlot));
    writeLE<uint64_t>(bdoseStream, offsetTableStart);
    bdoseStream.seekp(static_cast<std::streamoff>(offsetTableStart));
    rowOffsets.assign(context.numSNPs, 0);
    writeBytes(bdoseStream, std::vector<uint8_t>(rowOffsets.size() * 8, 0));
    checkStream("reserve space for dosage offsets in");
}

void Bdose::writeDosages_v11() {
    const uint32_t m = context.numSNPs;
    const std::size_t k = static_cast<std::size_t>(team());
    status("dosages (1/2) 0.000%");
    const DosageCode* code = dosageCode(context.compression);
    if (code == nullptr) Error::fail("Invalid compression setting!");
    const uint64_t n = samples.size();
    if (n * code->width > std::numeric_limits<uint32_t>::max()) {
        Error::fail("Too many samples for the dosage blocks of file '" + context.bdosePath + "'!");
    }
    dosageOrderings.assign(k, Ordering());
    std::vector<PartFile> parts = createPartFiles(kDosagePart, k);
    initDosageBuffer();
    if (m > 0) {
        Progress progress(m, kStage + "dosages (1/2) ");
#pragma omp parallel num_threads(team())
        {
            const uint64_t t = static_cast<uint64_t>(omp_get_thread_num());
            const Share share = threadShare(m, static_cast<uint64_t>(omp_get_num_threads()), t);
            Worker bgen;
            initBgen(&bgen);
            double* row = dosageBuffer.data() + t * n;
            std::vector<uint8_t> encoded(n * code->width);
            for (uint64_t snp = share.first; snp < share.first + share.size; ++snp) {
                if (t == 0) progress.print();
                progress.add();
                readDosages(static_cast<uint32_t>(snp), &bgen, row);
                writeDosagesToBuffer(context.compression, row, &encoded);
                writeCompressedBufferToStream(static_cast<uint32_t>(snp), encoded, &bgen, &parts[t],
                                              &dosageOrderings[t]);
            }
        }
    }
    status("dosages (1/2) done!");
    status("dosages (2/2) 0.000%");
    mergeParts(dosageOrderings, parts, dosageStart, "dosages (2/2) ");
    status("dosages (2/2) done!");
}

void Bdose::writeCompressedBufferToStream(uint32_t snp, const std::vector<uint8_t>& buffer, Worker* worker,
                                          PartFile* part, Ordering* ordering) const {
    // Block: u32 B, then B bytes: u32 U (the uncompressed size) and one zstd frame.
    if (!worker->zstd) worker->zstd.reset(ZSTD_createCCtx());
    const std::string failed =
        "Could not compress the dosages of SNP " + std::to_string(snp + 1) + " for file '" + context.bdosePath + "'!";
    const std::size_t bound = ZSTD_compressBound(buffer.size());
    if (!worker->zstd || ZSTD_isError(bound)) Error::fail("\n\n", failed);
    std::vector<uint8_t>* block = &worker->block;
    block->resize(8 + bound);
    const std::size_t frame =
        ZSTD_compressCCtx(worker->zstd.get(), block->data() + 8, bound, buffer.data(), buffer.size(), kZstdLevel);
    if (ZSTD_isError(frame)) Error::fail("\n\n", failed);
    block->resize(8 + frame);
    const uint64_t b = block->size() - 4;
    if (b > std::numeric_limits<uint32_t>::max()) {
        Error::fail("\n\n", "A dosage block is too large for file '" + context.bdosePath + "'!");
    }
    binio::storeLE<uint32_t>(block->data(), static_cast<uint32_t>(b));
    binio::storeLE<uint32_t>(block->data() + 4, static_cast<uint32_t>(buffer.size()));
    part->append(block->data(), block->size());
    ordering->written.emplace_back(snp, block->size());
    ++ordering->count;
}

uint64_t Bdose::mergeParts(std::vector<Ordering>& orderings, const std::vector<PartFile>& parts, uint64_t base,
                           const std::string& prefix) {
    const std::string failed = "Failed to write to file '" + context.bdosePath + "'!";
    binio::FileDescriptor out = binio::FileDescriptor::openPositional(context.bdosePath, O_RDWR);
    if (!out.valid()) Error::fail("\n\n", failed);
    Progress progress(orderings.size(), kStage + prefix);
    uint64_t running = 0;
    for (std::size_t j = 0; j < orderings.size(); ++j) {
        progress.print();
        progress.add();
        Ordering& ordering = orderings[j];
        ordering.sorted = ordering.written;
        std::sort(ordering.sorted.begin(), ordering.sorted.end());
        ordering.partOffsets.assign(ordering.count, 0);
        ordering.finalOffsets.assign(ordering.count, 0);
        uint64_t partSize = 0;
        for (uint32_t i = 0; i < ordering.count; ++i) {
            ordering.partOffsets[i] = partSize;
            partSize += ordering.written[i].second;
        }
        uint64_t position = base + running;
        for (uint32_t i = 0; i < ordering.count; ++i) {
            ordering.finalOffsets[i] = position;
            position += ordering.sorted[i].second;
        }
        running += partSize;
        if (partSize != parts[j].size) {
            Error::fail("\n\n", "File '" + parts[j].path + "' does not hold what was written to it!");
        }
        writeBufferToStreamMPI(ordering, parts[j], out);
    }
    if (!out.close()) Error::fail("\n\n", failed);
    return running;
}

void Bdose::writeBufferToStreamMPI(const Ordering& ordering, const PartFile& part,
                                   const binio::FileDescriptor& out) const {
    if (ordering.count == 0) return;
    const std::string failed = "Failed to copy file '" + part.path + "' into file '" + context.bdosePath + "'!";
#pragma omp parallel num_threads(teamSize(nThreads, ordering.count))
    {
        const Share share = threadShare(ordering.count, static_cast<uint64_t>(omp_get_num_threads()),
                                        static_cast<uint64_t>(omp_get_thread_num()));
        std::vector<uint8_t> piece;
        for (uint64_t i = share.first; i < share.first + share.size; ++i) {
            const auto& [snp, bytes] = ordering.written[i];
            const auto place = std::lower_bound(ordering.sorted.begin(), ordering.sorted.end(),
                                                std::make_pair(snp, uint64_t{0}));
            const uint64_t target = ordering.finalOffsets[static_cast<std::size_t>(place - ordering.sorted.begin())];
            piece.resize(bytes);
            if (!binio::preadFull(part.fd.get(), piece.data(), bytes, ordering.partOffsets[i]) ||
                !binio::pwriteFull(out.get(), piece.data(), bytes, target)) {
                Error::fail("\n\n", failed);
            }
        }
    }
}

void Bdose::writeOffsets_v11() {
    openStream(O_RDWR, std::ios::in | std::ios::out | std::ios::binary);
    bdoseStream.seekp(static_cast<std::streamoff>(offsetTableStart));
    checkStream("write offset information to");
    Progress progress(dosageOrderings.size(), "\r- Writing BDOSE file    :offsets ");
    status("offsets 0.000%");
    for (const Ordering& ordering : dosageOrderings) {
        progress.print();
        progress.add();
        for (uint32_t i = 0; i < ordering.count; ++i) rowOffsets[ordering.sorted[i].first] = ordering.finalOffsets[i];
    }
    for (uint64_t k = 1; k <= rowOffsets.size(); ++k) writeLE<uint64_t>(bdoseStream, rowOffsets[k - 1]);
    flushStream("write offset information to");
    status("offsets done!");
}
