// Test fixtures: the key of one SNP (Meta) built from its fields in one call. Plain function;
// any thread.
#pragma once

#include <cstdint>
#include <string>

#include "meta.h"

Meta snpMeta(const std::string& rsid, const std::string& chromosome, uint32_t position, const std::string& a1,
             const std::string& a2);
