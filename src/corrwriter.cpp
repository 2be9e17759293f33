#include "corrwriter.h"

#include <fcntl.h>
#include <omp.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <new>

#include "binio.h"
#include "error.h"
#include "threads.h"

namespace {

const char bcorMagic[] = "bcor1.1";
const std::size_t bcorMagicSize = 7;

// Positional writes are split into pieces of at most this many bytes.
const uint64_t maxWritePiece = 1000000000;

// Encoding threads publish their progress in batches of this many values.
const uint64_t progressBatch = 4096;

[[noreturn]] void failWrite(const std::string& fileName) {
    Error::fail("\n\n", "Failed to write to file '" + fileName + "'!");
}

// Percentages on standard output: fixed notation with three decimals (left set for later output).
std::ostream& percentStream() { return std::cout << std::fixed << std::setprecision(3); }

// M(M-1)/2; exact for every 32-bit SNP count.
uint64_t pairCount(uint64_t m) { return m < 2 ? 0 : m * (m - 1) / 2; }

// Index of the first pair (i, i+1) of row i in the packed upper triangle of an m x m matrix.
uint64_t rowStart(uint64_t i, uint64_t m) { return i * (2 * m - i - 1) / 2; }

// r limited to [-1, 1]; NaN stays NaN.
double clampCorrelation(double r) {
    if (r > 1.0) return 1.0;
    if (r < -1.0) return -1.0;
    return r;
}

// Lines first .. first+count-1 of the LD matrix text of the packed upper triangle R of m SNPs,
// into lines[0 .. count-1]. The fields left of the diagonal are gathered column by column, so
// that the triangle is read in contiguous runs.
void formatMatrixRows(const double* R, uint64_t first, uint64_t count, uint64_t m, std::string* lines) {
    for (uint64_t k = 0; k < count; ++k) lines[k].clear();
    for (uint64_t c = 0; c + 1 < first + count; ++c) {
        const uint64_t r0 = std::max(first, c + 1);
        // Pair (c, r) is at base + r (unsigned arithmetic; base may wrap below 0).
        const uint64_t base = rowStart(c, m) - c - 1;
        for (uint64_t r = r0; r < first + count; ++r) {
            appendLdValue(lines[r - first], clampCorrelation(R[base + r]));
            lines[r - first] += ' ';
        }
    }
    for (uint64_t k = 0; k < count; ++k) {
        const uint64_t r = first + k;
        std::string& line = lines[k];
        line += "1 ";
        const double* row = R + rowStart(r, m);
        for (uint64_t c = r + 1; c < m; ++c) {
            appendLdValue(line, clampCorrelation(row[c - r - 1]));
            line += ' ';
        }
        line += '\n';
    }
}

}  // namespace

unsigned bcorCodeWidth(uint8_t compression) {
    static const unsigned widths[] = {2, 4, 8, 1};
    return compression < 4 ? widths[compression] : 0;
}

void appendLdValue(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    char buffer[32];
    const std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    out.append(buffer, result.ptr);
}

CorrWriter::CorrWriter(uint32_t nSNPs_, uint32_t nSamples_, uint32_t nThreads_, uint8_t compression_,
                       RsIDs rsids_, const std::string& fileName_, Output output)
    : compression(compression_),
      fileName(fileName_),
      nThreads(nThreads_ == 0 ? 1 : nThreads_),
      nSamples(nSamples_),
      nSNPs(nSNPs_),
      rsids(std::move(rsids_)) {
    // The stream takes over the descriptor of this one open: the file is never opened by name
    // again unchecked. LD text may be a FIFO, whose open waits for its reader.
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    stream.open(output == Output::bcor ? binio::FileDescriptor::openPositional(fileName, flags)
                                       : binio::FileDescriptor::open(fileName, flags),
                std::ios::out);
    if (!stream.is_open()) Error::fail("File '" + fileName + "' cannot be opened!");
    if (compression > 3) Error::fail("Invalid compression setting!");
}

void CorrWriter::checkStream() const {
    if (!stream) failWrite(fileName);
}

void CorrWriter::closeStream() {
    stream.close();
    checkStream();
}

std::vector<uint8_t> CorrWriter::metaToBuffer(uint32_t number, const Meta& meta) const {
    return meta.toBuffer(number);
}

void CorrWriter::header(const SnpIndex& snpIndex) {
    std::vector<uint8_t> fields;
    binio::appendBytes(fields, bcorMagic, bcorMagicSize);
    fileSizePos = fields.size();
    binio::appendLE<uint64_t>(fields, fileSize);
    binio::appendLE<uint32_t>(fields, static_cast<uint32_t>(nSamples));
    binio::appendLE<uint32_t>(fields, static_cast<uint32_t>(nSNPs));
    binio::appendLE<uint8_t>(fields, compression);
    dataOffset = fields.size();
    binio::appendLE<uint64_t>(fields, dataOffset);
    stream.write(reinterpret_cast<const char*>(fields.data()), static_cast<std::streamsize>(fields.size()));

    uint64_t position = fields.size();
    for (uint32_t i = 0; i < nSNPs; ++i) {
        if (i % 5 == 0)
            percentStream() << "\r- Writing BCOR header   : " << (i + 1.0) * 100.0 / static_cast<double>(nSNPs)
                            << "%" << std::flush;
        const std::vector<uint8_t> meta = metaToBuffer(i, snpIndex.right.at(i));
        uint8_t length[4];
        binio::storeLE<uint32_t>(length, static_cast<uint32_t>(meta.size()));
        stream.write(reinterpret_cast<const char*>(length), sizeof length);
        stream.write(reinterpret_cast<const char*>(meta.data()), static_cast<std::streamsize>(meta.size()));
        position += 4 + meta.size();
    }
    uint8_t offset[8];
    binio::storeLE<uint64_t>(offset, position);
    stream.seekp(static_cast<std::streamoff>(dataOffset));
    stream.write(reinterpret_cast<const char*>(offset), sizeof offset);
    // The header is only known to be written once the file is closed.
    closeStream();
    dataOffset = position;
    std::cout << "\r- Writing BCOR header   : done!" << std::flush;
}

void CorrWriter::denseData(double* R) {
    std::cout << "\r- Converting BCOR data  :        " << std::flush;
    corrToStream(R);
    patchFileSize();
    std::cout << "\r- Writing BCOR file     : done!  " << std::endl;
}

void CorrWriter::patchFileSize() {
    binio::FileDescriptor fd = binio::FileDescriptor::openPositional(fileName, O_WRONLY);
    struct stat status {};
    if (!fd.valid() || fstat(fd.get(), &status) != 0) failWrite(fileName);
    fileSize = dataOffset + bcorCodeWidth(compression) * pairCount(nSNPs);
    // A device such as /dev/null has no size to compare.
    if (S_ISREG(status.st_mode) && static_cast<uint64_t>(status.st_size) != fileSize) failWrite(fileName);
    uint8_t size[8];
    binio::storeLE<uint64_t>(size, fileSize);
    if (!binio::pwriteFull(fd.get(), size, sizeof size, fileSizePos) || !fd.close()) failWrite(fileName);
}

void CorrWriter::convertAndWriteToBuffer(double r, uint8_t** cursor) const {
    const bool missing = std::isnan(r);
    const double shifted = r + 1.0;
    switch (compression) {
        case 0:
            binio::storeLE<uint16_t>(*cursor, missing ? uint16_t{0xD000} : static_cast<uint16_t>(shifted * 0x1p14));
            break;
        case 1:
            binio::storeLE<uint32_t>(*cursor, missing ? 0xD0000000u : static_cast<uint32_t>(shifted * 0x1p30));
            break;
        case 2:
            binio::storeLE<uint64_t>(*cursor,
                                     missing ? uint64_t{0xD000000000000000} : static_cast<uint64_t>(shifted * 0x1p62));
            break;
        case 3:
            binio::storeLE<uint8_t>(*cursor, missing ? uint8_t{0xD0} : static_cast<uint8_t>(shifted * 0x1p6));
            break;
        default:
            return;
    }
    *cursor += bcorCodeWidth(compression);
}

void CorrWriter::corrToStream(double* R) {
    const uint64_t nCorr = pairCount(nSNPs);
    if (nCorr == 0) return;
    const uint64_t width = bcorCodeWidth(compression);
    const uint64_t nChunks = static_cast<uint64_t>(teamSize(nThreads, nCorr));
    std::vector<uint64_t> counts(nChunks, 0), offsets(nChunks, 0);
    std::vector<uint8_t*> starts(nChunks, nullptr);
    std::atomic<uint64_t> converted{0};
    const uint64_t step = nCorr / 10;

#pragma omp parallel num_threads(static_cast<int>(nChunks))
    {
        const uint64_t team = static_cast<uint64_t>(omp_get_num_threads());
        const uint64_t t = static_cast<uint64_t>(omp_get_thread_num());
        const uint64_t share = nCorr / team, extra = nCorr % team;
        const uint64_t begin = t * share + std::min(t, extra);
        const uint64_t end = begin + share + (t < extra ? 1 : 0);

        // Encode this thread's block in place: each code is written at or before the value it replaces.
        uint8_t* cursor = reinterpret_cast<uint8_t*>(R + begin);
        starts[t] = cursor;
        counts[t] = end - begin;
        uint64_t next = step, pending = 0;
        for (uint64_t e = begin; e < end; ++e) {
            if (t == 0) {
                const uint64_t done = converted.load(std::memory_order_relaxed) + pending;
                if (done >= next) {
                    next += step;
                    // Counts stay far below 2^64 / 100 for any matrix that fits in memory.
                    percentStream() << "\r- Converting BCOR data  : " << done * 100 / nCorr << "/100%" << std::flush;
                }
            }
            if (++pending == progressBatch) {
                converted.fetch_add(pending, std::memory_order_relaxed);
                pending = 0;
            }
            convertAndWriteToBuffer(clampCorrelation(R[e]), &cursor);
        }
        converted.fetch_add(pending, std::memory_order_relaxed);

#pragma omp barrier
        if (t == 0) {
            offsets[0] = dataOffset;
            for (uint64_t c = 1; c < nChunks; ++c) offsets[c] = offsets[c - 1] + width * counts[c - 1];
        }
#pragma omp barrier

        binio::FileDescriptor fd = binio::FileDescriptor::openPositional(fileName, O_WRONLY);
        for (uint64_t c = t; c < nChunks; c += team) {
            const uint8_t* source = starts[c];
            uint64_t offset = offsets[c];
            uint64_t remaining = width * counts[c];
            while (remaining > 0) {
                const uint64_t piece = std::min(remaining, maxWritePiece);
                if (!fd.valid() || !binio::pwriteFull(fd.get(), source, piece, offset))
                    Error::fail("\n\n", "Failed to write " + std::to_string(piece) + " bytes at offset " +
                                            std::to_string(offset) + " in file '" + fileName + "'!");
                source += piece;
                offset += piece;
                remaining -= piece;
            }
        }
        if (!fd.close()) failWrite(fileName);
    }
}

void CorrWriter::matrix(const double* R) {
    std::cout << "- Writing correlations  : 0.000% " << std::flush;
    // Each thread formats a run of rows of a batch (up to 16 rows, about 4 MB of text); this thread
    // then writes the batch in order.
    const uint64_t run = std::max<uint64_t>(1, std::min<uint64_t>(16, 4000000 / (12 * nSNPs + 1)));
    const uint64_t threads = static_cast<uint64_t>(teamSize(nThreads, nSNPs));
    const uint64_t batch = std::max<uint64_t>(1, std::min<uint64_t>(nSNPs, threads * run));
    std::vector<std::string> lines(batch);
    for (uint64_t first = 0; first < nSNPs; first += batch) {
        const uint64_t count = std::min(batch, nSNPs - first);
        const uint64_t runs = (count + run - 1) / run;
#pragma omp parallel for num_threads(teamSize(threads, runs)) schedule(dynamic, 1)
        for (uint64_t j = 0; j < runs; ++j) {
            try {
                formatMatrixRows(R, first + j * run, std::min(run, count - j * run), nSNPs, lines.data() + j * run);
            } catch (const std::bad_alloc&) {
                Error::fail("\n\n", "Not enough memory to write file '" + fileName + "'!");
            }
        }
        for (uint64_t k = 0; k < count; ++k) {
            const uint64_t r = first + k;
            if (r % 50 == 0)
                percentStream() << "\r- Writing correlations  : "
                                << static_cast<double>(r) * 100.0 / static_cast<double>(nSNPs) << "/100%" << std::flush;
            stream.write(lines[k].data(), static_cast<std::streamsize>(lines[k].size()));
            stream.flush();
            checkStream();
        }
    }
    closeStream();
    std::cout << "\r- Writing correlations  : done!         " << std::endl;
}

void CorrWriter::vector(const std::vector<double>& R, const SnpIndex& snpIndex, bool engineLayout) {
    std::cout << "- Writing LD vector     : 0.000% " << std::flush;
    const std::vector<std::string>& ids = rsids.order;
    const uint64_t nListed = ids.size();
    const uint64_t nRows = snpIndex.size();
    const double total = static_cast<double>(R.size());
    std::string line = "rsid " + setToString(ids, " ") + "\n";
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream.flush();
    checkStream();
    for (uint64_t c = 0; c < nRows; ++c) {
        line = snpIndex.right.at(static_cast<uint32_t>(c)).rsid;
        for (uint64_t k = 0; k < nListed; ++k) {
            line += ' ';
            appendLdValue(line, engineLayout ? R[k * nRows + c] : R[c * nListed + k]);
            percentStream() << "\r- Writing LD vector     : " << static_cast<double>(nListed * c + k) * 100.0 / total
                            << "%" << std::flush;
        }
        line += '\n';
        stream.write(line.data(), static_cast<std::streamsize>(line.size()));
        stream.flush();
        checkStream();
    }
    closeStream();
    std::cout << "\r- Writing LD vector     : done!  " << std::endl;
}
