// Text dumps of vectors: ToString and ToStringNonZero on small
// examples, the line structure by texture width, the maxCount
// rules, and values far too long for a 20-byte field.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "linalg/LinalgTestSupport.h"

namespace linalg_test {
namespace {

using VectorDumpTest = LinalgTest;

std::string Format(const char* format, double value) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string FormatIndexed(int index, double value) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%i:%7.5f\t ", index, value);
    return buffer;
}

TEST_F(VectorDumpTest, ToStringOfATwoWideVector) {
    auto v = MakeVector({2, 2}, {1, 2, 3, 4});
    EXPECT_EQ(TakeText(v->ToString(0)), "1.00000\t 2.00000\n3.00000\t 4.00000\n");
}

TEST_F(VectorDumpTest, ToStringWithAMaxCountStopsAfterThatManyValues) {
    auto v = MakeVector({2, 2}, {1, 2, 3, 4});
    EXPECT_EQ(TakeText(v->ToString(3)), "1.00000\t 2.00000\n3.00000\t ");
    EXPECT_EQ(TakeText(v->ToString(1)), "1.00000\t ");
    EXPECT_EQ(TakeText(v->ToString(2)), "1.00000\t 2.00000\n");
    EXPECT_EQ(TakeText(v->ToString(4)), "1.00000\t 2.00000\n3.00000\t 4.00000\n");
    EXPECT_EQ(TakeText(v->ToString(100)), "1.00000\t 2.00000\n3.00000\t 4.00000\n");
    EXPECT_EQ(TakeText(v->ToString(-1)), "1.00000\t 2.00000\n3.00000\t 4.00000\n") << "negative: all";
}

TEST_F(VectorDumpTest, ToStringBreaksLinesAfterEveryTextureRow) {
    auto wide = MakeVector({4, 2}, {0.5f, -1, 0, 2.25f, 10, -0.125f, 7, 100});
    EXPECT_EQ(TakeText(wide->ToString(0)),
              "0.50000\t -1.00000\t 0.00000\t 2.25000\n10.00000\t -0.12500\t 7.00000\t 100.00000\n");
    auto tall = MakeVector({1, 4}, {1, 2, 3, 4});
    EXPECT_EQ(TakeText(tall->ToString(0)), "1.00000\n2.00000\n3.00000\n4.00000\n");
    auto single = MakeVector({1, 1}, {-0.5f});
    EXPECT_EQ(TakeText(single->ToString(0)), "-0.50000\n");
}

TEST_F(VectorDumpTest, ToStringShowsTheCurrentValuesAfterKernels) {
    auto v = MakeVector({2, 2}, {1, 2, 3, 4});
    v->Scale(-2);
    EXPECT_EQ(TakeText(v->ToString(0)), "-2.00000\t -4.00000\n-6.00000\t -8.00000\n");
}

TEST_F(VectorDumpTest, ToStringNonZeroListsValuesAboveTheThresholdWithTheirIndices) {
    auto v = MakeVector({8, 1}, {0, 2, 0, -0.000003f, 5, 0, 0, 0});
    EXPECT_EQ(TakeText(v->ToStringNonZero(0)), "1:2.00000\t 4:5.00000\t ");
}

TEST_F(VectorDumpTest, ToStringNonZeroStopsAfterTheEntryThatExceedsMaxCount) {
    auto v = MakeVector({8, 1}, {0, 2, 0, -0.000003f, 5, 0, 0, 0});
    EXPECT_EQ(TakeText(v->ToStringNonZero(1)), "1:2.00000\t 4:5.00000\t ");

    auto many = MakeVector({4, 2}, {1, 0, -2, 3, 0, 4, 5, 0});
    EXPECT_EQ(TakeText(many->ToStringNonZero(0)),
              "0:1.00000\t 2:-2.00000\t 3:3.00000\t 5:4.00000\t 6:5.00000\t ");
    EXPECT_EQ(TakeText(many->ToStringNonZero(1)), "0:1.00000\t 2:-2.00000\t ");
    EXPECT_EQ(TakeText(many->ToStringNonZero(2)), "0:1.00000\t 2:-2.00000\t 3:3.00000\t ");
    EXPECT_EQ(TakeText(many->ToStringNonZero(4)),
              "0:1.00000\t 2:-2.00000\t 3:3.00000\t 5:4.00000\t 6:5.00000\t ");
    EXPECT_EQ(TakeText(many->ToStringNonZero(5)),
              "0:1.00000\t 2:-2.00000\t 3:3.00000\t 5:4.00000\t 6:5.00000\t ");
}

TEST_F(VectorDumpTest, ToStringNonZeroSkipsSmallValuesAndNaNAndEmptyVectorsGiveEmptyText) {
    auto v = MakeVector({4, 1}, {1e-5f, -1e-6f, std::numeric_limits<float>::quiet_NaN(), 2e-5f});
    EXPECT_EQ(TakeText(v->ToStringNonZero(0)), "3:0.00002\t ");
    auto zeros = std::make_unique<UnpackedVector>(4, 4, 0);
    zeros->Fill(0);
    EXPECT_EQ(TakeText(zeros->ToStringNonZero(0)), "");
}

TEST_F(VectorDumpTest, ToStringNonZeroPrintsLongIndices) {
    auto v = std::make_unique<UnpackedVector>(512, 512, 0);
    std::vector<float> values(512 * 512, 0.0f);
    values[262143] = -1.5f;
    values[100000] = 0.25f;
    v->SetData(values.data());
    EXPECT_EQ(TakeText(v->ToStringNonZero(0)), "100000:0.25000\t 262143:-1.50000\t ");
}

// "%7.5f" of 1e30f alone is 37 characters, of -FLT_MAX 46: far beyond the 20
// bytes per value a fixed-size field would hold.
TEST_F(VectorDumpTest, HugeValuesAreDumpedInFull) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> values = {1e30f, -1e38f, FLT_MAX, -FLT_MAX, inf, -inf, 123456789.0f, 0.5f};
    auto v = MakeVector({4, 2}, values);
    ASSERT_TRUE(SameValues(values, Values(*v)));

    std::string expected;
    for (size_t i = 0; i < values.size(); ++i)
        expected += Format((i + 1) % 4 == 0 ? "%7.5f\n" : "%7.5f\t ", static_cast<double>(values[i]));
    const std::string text = TakeText(v->ToString(0));
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.substr(0, 39), "1000000015047466219876688855040.00000\t ");
    EXPECT_NE(text.find("-340282346638528859811704183484516925440.00000\n"), std::string::npos);

    std::string nonZero;
    for (size_t i = 0; i < values.size(); ++i)
        nonZero += FormatIndexed(static_cast<int>(i), static_cast<double>(values[i]));
    EXPECT_EQ(TakeText(v->ToStringNonZero(0)), nonZero);
}

TEST_F(VectorDumpTest, EveryHugeValueEverywhereInALargerVector) {
    // Every entry far longer than 20 characters, in a vector of 64 values.
    std::vector<float> values(64);
    for (int i = 0; i < 64; ++i) values[static_cast<size_t>(i)] = (i % 2 ? -1.0f : 1.0f) * FLT_MAX / (i + 1);
    auto v = MakeVector({8, 8}, values);
    const std::vector<float> stored = Values(*v);
    std::string expected, nonZero;
    for (int i = 0; i < 64; ++i) {
        const double value = static_cast<double>(stored[static_cast<size_t>(i)]);
        expected += Format((i + 1) % 8 == 0 ? "%7.5f\n" : "%7.5f\t ", value);
        nonZero += FormatIndexed(i, value);
    }
    EXPECT_EQ(TakeText(v->ToString(0)), expected);
    EXPECT_EQ(TakeText(v->ToStringNonZero(0)), nonZero);
    EXPECT_GT(expected.size(), 64u * 40u);
}

TEST_F(VectorDumpTest, NaNIsDumpedByToString) {
    auto v = MakeVector({2, 1}, {std::numeric_limits<float>::quiet_NaN(), 1});
    const std::string text = TakeText(v->ToString(0));
    EXPECT_NE(text.find("nan"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 8), "1.00000\n");
}

}  // namespace
}  // namespace linalg_test
