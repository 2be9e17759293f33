#include "support/snpmeta.h"

Meta snpMeta(const std::string& rsid, const std::string& chromosome, uint32_t position, const std::string& a1,
             const std::string& a2) {
    Meta meta;
    meta.rsid = rsid;
    meta.chromosome = chromosome;
    meta.position = position;
    meta.alleles = {a1, a2};
    return meta;
}
