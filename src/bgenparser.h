// BgenParser: decodes the genotype probabilities of a dataset's SNPs from its BGEN file into
// standardised Dosage rows in memory (one row of doubles per SNP over the included samples,
// mean 0 and SD 1, missing values 0.0) with each SNP's count of missing samples. It owns the
// BGEN path, a single input stream for the header, first bytes and size, and the rows.
// parseBgen decodes on several threads, each with its own stream, Context and buffers, each
// writing only its own rows; the object itself is used from one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bgen/bgen.h"
#include "bgenindexparser.h"
#include "meta.h"
#include "sampleparser.h"

// An allocator whose value-less construct leaves a new element default-initialised: resizing a
// vector of doubles then neither writes nor touches its memory.
template <class T>
class DefaultInitAllocator : public std::allocator<T> {
public:
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() noexcept = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// The Dosage rows. Every row is written in full by the thread that decodes its SNP, so the
// buffer is sized without being filled: its pages are first touched by the decoding threads,
// in parallel, instead of being zeroed by one thread beforehand.
using DosageBuffer = std::vector<double, DefaultInitAllocator<double>>;

class BgenParser {
public:
    // What one decoding thread owns and reuses from SNP to SNP, so that decoding a SNP
    // allocates nothing once the buffers have grown to the largest block.
    struct ThreadState {
        std::ifstream stream;
        genfile::bgen::Context context;
        std::vector<uint8_t> block;     // the stored genotype block
        std::vector<uint8_t> probData;  // the uncompressed probability data
        genfile::bgen::ProbabilityTable table;
        std::string variantId;  // identifying data of the current variant: its identifier,
        Meta meta;              // and its rsid, chromosome, position and alleles
        uint32_t dataAlleles = 0;  // K of its probability data
    };

    // Opens bgenFile into bgenStream, reads its header into `context` and leaves the stream at
    // the first variant. A file that does not open, or an allocation that fails while its header
    // is read, ends the run naming the file.
    void initBgen();
    // The same on a decoding thread's own stream and Context, after the single-stream form:
    // the file must still hold context.number_of_samples samples. A failure ends the process
    // from the calling thread.
    void initBgen(genfile::bgen::Context* threadContext, std::ifstream* stream) const;
    // The first n bytes of the file (none for n <= 0); a file that holds fewer ends the run.
    // Needs initBgen; the file's size is context.file_size.
    std::vector<uint8_t> readFirstBytes(int64_t n);

    // Decodes the SNPs at `indexes` (element n is SNP n of the Z file, whose identity `snpIndex`
    // gives) over `samples` (pairs of 0-based BGEN sample index and ID, in column order) on
    // teamSize(nThreads, M) threads into `dosages` (row n at n * S, S = samples.size()) and
    // `missingCounts`. The variant found at each place must be that SNP. Needs initBgen.
    void parseBgen(const std::vector<BgenIndex>& indexes, const SnpIndex& snpIndex, const SampleList& samples,
                   uint32_t nThreads);

    // One thread's contiguous share of the SNPs (t-th of T threads).
    // A SNP that cannot be decoded ends the run with a message naming it and the file.
    void parseSNPs(ThreadState* state, std::atomic<uint32_t>* counter, uint32_t t, uint32_t T);
    // Reads, decodes and standardises SNP n into its row.
    void parseSNP(uint32_t n, ThreadState* state, std::atomic<uint32_t>* counter);
    // Reads, uncompresses and parses the variant's probabilities into state->table.
    void readProbs(ThreadState* state) const;

    // The checks and reports shared with the BDOSE writer, which reads the same variants.
    //
    // Reads a variant's identifying data at the stream's position: its identifier into
    // *variantId, its rsid, chromosome, position and alleles into *meta (capacity reused).
    static void readVariantMeta(std::istream& stream, const genfile::bgen::Context& context, std::string* variantId,
                                Meta* meta);
    // Reads the identifying data of the variant at the stream's position, the place that the index
    // `context->index_file` gives for the Z-file SNP `snp`, into *variantId and *meta. The variant
    // must be that SNP and have two alleles; otherwise the run ends. While it is read, messages
    // about it name the index and the SNP as well.
    static void readIndexedVariant(std::istream& stream, genfile::bgen::Context* context, const Meta& snp,
                                   std::string* variantId, Meta* meta);
    // The variant `found` at the place that the index `bgiPath` gives for the Z-file SNP `expected`
    // must be that SNP (rsid, chromosome, position, first and second allele); otherwise the run
    // ends naming the SNP and both files.
    static void checkVariant(const Meta& found, const Meta& expected, const std::string& bgenPath,
                             const std::string& bgiPath);
    // The index `bgiPath` must place the SNP `rsid` inside the BGEN file of `fileSize` bytes.
    static void checkPlace(const BgenIndex& place, const std::string& rsid, uint64_t fileSize,
                           const std::string& bgenPath, const std::string& bgiPath);
    // End the run for a variant whose probability data threw: stored probabilities of one sample
    // that add up to more than 1 (ProbabilitySumError), or data that cannot be parsed (BGenError).
    [[noreturn]] static void failProbabilitySum(const std::string& rsid, const std::string& bgenPath);
    [[noreturn]] static void failProbabilityData(const std::string& rsid, const std::string& bgenPath);
    // Writes the S raw dosages (expected count of the second allele; NaN when missing) of the
    // variant at the stream's position into `row`.
    void computeDose(ThreadState* state, double* row) const;
    // The probability data must be of two alleles (`dataAlleles`) and every BGEN sample unphased
    // diploid (exactly three probabilities); otherwise failNotDiploid.
    static void checkDiploid(const genfile::bgen::ProbabilityTable& table, std::size_t dataAlleles,
                             const std::string& rsid, const std::string& bgenPath);
    // Ends the run with the report on standard output that names the variant's rsid and the BGEN
    // file: its genotypes are not unphased diploid over two alleles.
    [[noreturn]] static void failNotDiploid(const std::string& rsid, const std::string& bgenPath);
    // Mean and SD of the row (Welford over the non-missing values; SD over all S samples);
    // adds the missing values to *missing.
    void computeMeanSD(double* mean, double* sd, const double* row, uint32_t* missing) const;
    // The progress line, written by thread 0.
    void printStatus(const std::atomic<uint32_t>& counter) const;
    // Sizes `dosages` to M * S values, left unwritten; a failed allocation ends the run.
    void initDosageBuffer();

    std::vector<BgenIndex> bgenIndexes;
    std::string bgenFile;
    std::string zFile;
    // The BGEN index that gave bgenIndexes, named in messages; set by the caller.
    std::string bgiFile;
    // The Z-file SNP of each element of bgenIndexes.
    std::vector<Meta> snps;
    std::vector<uint32_t> missingCounts;
    std::unique_ptr<std::ifstream> bgenStream;
    genfile::bgen::Context context;
    SampleList includedSamples;
    DosageBuffer dosages;

private:
    // Opens bgenFile into `stream` (a file that does not open ends the run), reads the header
    // into `ctx` and places the stream at the first variant.
    void openAndReadHeader(std::ifstream* stream, genfile::bgen::Context* ctx) const;
    // Every SNP's place and every included sample must lie inside the file.
    void checkPlacesAndSamples() const;
};
