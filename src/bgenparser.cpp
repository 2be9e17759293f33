#include "bgenparser.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <iomanip>
#include <iostream>
#include <limits>

#include "binio.h"
#include "error.h"
#include "floatscaler.h"
#include "threads.h"

void BgenParser::openAndReadHeader(std::ifstream* stream, genfile::bgen::Context* ctx) const {
    if (!openReadable(*stream, bgenFile, std::ios::binary)) Error::fail("File '" + bgenFile + "' cannot be opened!");
    uint32_t offset = 0;
    ctx->path = bgenFile;
    genfile::bgen::read_offset(*stream, *ctx, &offset);
    genfile::bgen::read_header_block(*stream, ctx);
    stream->seekg(static_cast<std::streamoff>(uint64_t{offset} + 4));
}

void BgenParser::initBgen() {
    guardMemory(bgenFile, [&] {
        bgenStream = std::make_unique<std::ifstream>();
        openAndReadHeader(bgenStream.get(), &context);
    });
}

void BgenParser::initBgen(genfile::bgen::Context* threadContext, std::ifstream* stream) const {
    openAndReadHeader(stream, threadContext);
    // Rows and sample indices were sized from the header read first; the file must still agree.
    if (threadContext->number_of_samples != context.number_of_samples)
        Error::fail("BGEN file '" + bgenFile + "' changed while it was read!");
}

std::vector<uint8_t> BgenParser::readFirstBytes(int64_t n) {
    std::vector<uint8_t> bytes(static_cast<std::size_t>(std::max<int64_t>(n, 0)), 0);
    bgenStream->clear();
    bgenStream->seekg(0);
    if (!binio::readExact(*bgenStream, bytes.data(), bytes.size()))
        Error::fail("Could not read the first " + std::to_string(bytes.size()) + " bytes of BGEN file '" + bgenFile +
                    "'!");
    return bytes;
}

void BgenParser::initDosageBuffer() {
    const uint64_t values = uint64_t(bgenIndexes.size()) * includedSamples.size();
    try {
        dosages.clear();
        dosages.resize(values);
    } catch (const std::exception&) {  // std::bad_alloc, or std::length_error beyond max_size
        Error::fail("Cannot allocate buffer for storing allelic dosages!. At least " +
                    convertByteToHumanReadableCount(static_cast<double>(values) * sizeof(double)) +
                    " memory are required.");
    }
}

void BgenParser::checkPlace(const BgenIndex& place, const std::string& rsid, uint64_t fileSize,
                            const std::string& bgenPath, const std::string& bgiPath) {
    if (place.file_start_position < 0 || uint64_t(place.file_start_position) >= fileSize)
        Error::fail("BGEN index file '" + bgiPath + "' places SNP with rsID '" + rsid + "' outside of BGEN file '" +
                    bgenPath + "'!");
}

void BgenParser::checkPlacesAndSamples() const {
    for (const BgenIndex& place : bgenIndexes) checkPlace(place, place.rsid, context.file_size, bgenFile, bgiFile);
    for (const auto& sample : includedSamples)
        if (sample.first >= context.number_of_samples)
            Error::fail("Sample '" + sample.second + "' with index " + std::to_string(sample.first) +
                        " is not one of the " + std::to_string(context.number_of_samples) +
                        " samples of BGEN file '" + bgenFile + "'!");
}

void BgenParser::parseBgen(const std::vector<BgenIndex>& indexes, const SnpIndex& snpIndex, const SampleList& samples,
                           uint32_t nThreads) {
    bgenIndexes = indexes;
    includedSamples = samples;
    snps.assign(bgenIndexes.size(), Meta());
    for (const auto& [meta, number] : snpIndex.left)
        if (number < snps.size()) snps[number] = meta;
    checkPlacesAndSamples();
    const uint64_t M = bgenIndexes.size();
    initDosageBuffer();
    missingCounts.assign(M, 0);

    std::atomic<uint32_t> counter{0};
    const int threads = teamSize(nThreads, M);
    if (threads > 0) {
#pragma omp parallel num_threads(threads)
        {
            const auto t = static_cast<uint32_t>(omp_get_thread_num());
            const auto T = static_cast<uint32_t>(omp_get_num_threads());
            try {
                ThreadState state;
                initBgen(&state.context, &state.stream);
                state.context.index_file = bgiFile;
                parseSNPs(&state, &counter, t, T);
            } catch (const std::exception& e) {
                Error::fail("Could not read BGEN file '" + bgenFile + "' (" + e.what() + ")!");
            }
        }
    }

    if (counter.load() != M)
        failure::report("", "\n\nError : Could not parse all SNPs from file '" + zFile + "'!\n\n");
    std::cout << "\r- Parsing dosages       : done!   " << std::endl;
}

void BgenParser::parseSNPs(ThreadState* state, std::atomic<uint32_t>* counter, uint32_t t, uint32_t T) {
    const uint64_t M = bgenIndexes.size();
    const uint64_t extra = M % T;
    const uint64_t chunk = M / T + (t < extra ? 1 : 0);
    const uint64_t first = t * chunk + (t >= extra ? extra : 0);
    for (uint64_t n = first; n < first + chunk; ++n) {
        if (t == 0) printStatus(*counter);
        const BgenIndex& place = bgenIndexes[n];
        try {
            state->stream.seekg(static_cast<std::streamoff>(place.file_start_position));
            if (!state->stream)
                Error::fail("Cannot seek to SNP with rsID '" + place.rsid + "' in BGEN file '" + bgenFile + "'!");
            parseSNP(static_cast<uint32_t>(n), state, counter);
        } catch (const genfile::bgen::ProbabilitySumError&) {
            failProbabilitySum(place.rsid, bgenFile);
        } catch (const genfile::bgen::BGenError&) {
            failProbabilityData(place.rsid, bgenFile);
        } catch (const std::exception& e) {
            Error::fail("Could not read SNP with rsID '" + place.rsid + "' from BGEN file '" + bgenFile + "' (" +
                        e.what() + ")!");
        }
    }
}

void BgenParser::parseSNP(uint32_t n, ThreadState* state, std::atomic<uint32_t>* counter) {
    readIndexedVariant(state->stream, &state->context, snps.at(n), &state->variantId, &state->meta);
    counter->fetch_add(1);
    const uint64_t S = includedSamples.size();
    double* row = dosages.data() + uint64_t{n} * S;
    computeDose(state, row);
    double mean = 0.0;
    double sd = 0.0;
    computeMeanSD(&mean, &sd, row, &missingCounts.at(n));
    standardiseRow(S, mean, sd, row);
}

void BgenParser::readProbs(ThreadState* state) const {
    state->dataAlleles = genfile::bgen::read_probabilities(state->stream, state->context, &state->block,
                                                           &state->probData, &state->table);
}

void BgenParser::readVariantMeta(std::istream& stream, const genfile::bgen::Context& context, std::string* variantId,
                                 Meta* meta) {
    std::vector<std::string>& alleles = meta->alleles;
    genfile::bgen::read_snp_identifying_data(
        stream, context, variantId, &meta->rsid, &meta->chromosome, &meta->position,
        [&alleles](std::size_t k) { alleles.resize(k); },
        [&alleles](std::size_t i, const std::string& allele) { alleles[i] = allele; });
}

void BgenParser::readIndexedVariant(std::istream& stream, genfile::bgen::Context* context, const Meta& snp,
                                    std::string* variantId, Meta* meta) {
    context->indexed_rsid = snp.rsid;
    context->identifying = true;
    readVariantMeta(stream, *context, variantId, meta);
    checkVariant(*meta, snp, context->path, context->index_file);
    context->identifying = false;
    // Known before the genotype block is read, which for many alleles may be far larger than
    // two-allele data can be.
    if (meta->alleles.size() != 2) failNotDiploid(meta->rsid, context->path);
}

void BgenParser::checkVariant(const Meta& found, const Meta& expected, const std::string& bgenPath,
                              const std::string& bgiPath) {
    if (found.rsid == expected.rsid && found.chromosome == expected.chromosome &&
        found.position == expected.position && found.allele(0) == expected.allele(0) &&
        found.allele(1) == expected.allele(1))
        return;
    Error::fail("BGEN index file '" + bgiPath + "' places SNP with rsID '" + expected.rsid +
                "' at a variant of BGEN file '" + bgenPath + "' that is not this SNP!");
}

void BgenParser::failProbabilitySum(const std::string& rsid, const std::string& bgenPath) {
    Error::fail("Genotype probabilities of a sample at SNP with rsID '" + rsid + "' in BGEN file '" + bgenPath +
                "' add up to more than 1!");
}

void BgenParser::failProbabilityData(const std::string& rsid, const std::string& bgenPath) {
    Error::fail("Could not parse probability data of SNP with rsID '" + rsid + "' in BGEN file '" + bgenPath + "'!");
}

void BgenParser::checkDiploid(const genfile::bgen::ProbabilityTable& table, std::size_t dataAlleles,
                              const std::string& rsid, const std::string& bgenPath) {
    const bool diploid = dataAlleles == 2 && std::all_of(table.begin(), table.end(), [](const std::vector<double>& p) {
                             return p.size() == 3;
                         });
    if (!diploid) failNotDiploid(rsid, bgenPath);
}

void BgenParser::failNotDiploid(const std::string& rsid, const std::string& bgenPath) {
    failure::report("\n\nError : Expected diploid genotype probability data at SNP with rsID '" + rsid + "' in file '" +
                        bgenPath + "'!\n",
                    "");
}

void BgenParser::computeDose(ThreadState* state, double* row) const {
    readProbs(state);
    checkDiploid(state->table, state->dataAlleles, state->meta.rsid, bgenFile);
    const genfile::bgen::ProbabilityTable& table = state->table;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::size_t S = includedSamples.size();
    for (std::size_t j = 0; j < S; ++j) {
        const double* p = table[includedSamples[j].first].data();
        if (p[0] == -1.0 || p[1] == -1.0 || p[2] == -1.0)
            row[j] = nan;
        else
            row[j] = (p[2] + p[2] + p[1]) / (p[0] + p[1] + p[2]);
    }
}

void BgenParser::computeMeanSD(double* mean, double* sd, const double* row, uint32_t* missing) const {
    computeWelfordMeanSD(includedSamples.size(), row, mean, sd, missing);
}

void BgenParser::printStatus(const std::atomic<uint32_t>& counter) const {
    std::cout << "\r- Parsing dosages       : " << std::fixed << std::setprecision(3)
              << static_cast<double>(counter.load()) * 100.0 / static_cast<double>(bgenIndexes.size()) << "%"
              << std::flush;
}
