#include "floatscaler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/oracle.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

struct Case {
    std::string name;
    std::vector<double> values;
    std::vector<double> expected;  // NaN where the result must be NaN
    uint32_t missing;
};

TEST(FloatScaler, StandardisesInPlaceAndCountsMissing) {
    const std::vector<double> mixed = {0.0, 1.0, NaN, 2.0, 0.5, 1.25};
    const Case cases[] = {
        {"all missing", {NaN, NaN, NaN}, {0.0, 0.0, 0.0}, 3},
        {"one non-missing", {NaN, 1.5, NaN}, {0.0, NaN, 0.0}, 2},
        {"constant", {0.5, 0.5, NaN, 0.5}, {NaN, NaN, 0.0, NaN}, 1},
        {"n = 1", {1.2}, {NaN}, 0},
        {"n = 1 missing", {NaN}, {0.0}, 1},
        {"mixed", mixed, twoPassStandardised(mixed), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> x = c.values;
        double* data = x.data();
        uint32_t missing = 7;  // the counter is only added to
        FloatScaler(static_cast<uint32_t>(x.size()), data, &missing);
        EXPECT_EQ(missing, 7 + c.missing);
        for (std::size_t j = 0; j < x.size(); ++j) {
            if (std::isnan(c.expected[j]))
                EXPECT_TRUE(std::isnan(x[j])) << j;
            else if (c.expected[j] == 0.0 && std::isnan(c.values[j]))
                EXPECT_EQ(x[j], 0.0) << j;
            else
                EXPECT_NEAR(x[j], c.expected[j], 1e-12) << j;
        }
    }
}

TEST(FloatScaler, RowOfPositiveSdSumsSquaresToNMinusOne) {
    std::vector<double> x = {0.25, NaN, 1.75, 2.0, 0.0, NaN, 1.0};
    double* data = x.data();
    uint32_t missing = 0;
    FloatScaler(static_cast<uint32_t>(x.size()), data, &missing);
    double squares = 0;
    for (double v : x) squares += v * v;
    EXPECT_NEAR(squares, static_cast<double>(x.size() - 1), 1e-12);
    EXPECT_EQ(missing, 2u);
}

TEST(FloatScaler, NothingToDoForZeroValues) {
    double* none = nullptr;
    uint32_t missing = 4;
    FloatScaler(0, none, &missing);
    EXPECT_EQ(missing, 4u);
}

}  // namespace
