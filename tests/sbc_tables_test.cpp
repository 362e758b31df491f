// The constant filter-bank tables: recomputed by their rule, and the window's
// symmetry and anchor values.
#include <gtest/gtest.h>

#include <cmath>

#include "sbc/tables.h"

using namespace blmx::sbc;

namespace {

constexpr double zero_column_residual[8] = {-4.3711e-08, 1.1925e-08,  1.39071e-07,  -2.90067e-07,
                                            -3.5775e-08, -5.92058e-07, -6.87457e-07, 5.9624e-08};

float cosine_entry(int i, int k, int m, bool synthesis) {
    if (k == (synthesis ? m / 2 : 3 * m / 2)) return static_cast<float>(zero_column_residual[i]);
    const double arg = (i + 0.5) * (synthesis ? k + m / 2 : k - m / 2) * M_PI / m;
    return static_cast<float>(std::cos(static_cast<double>(static_cast<float>(arg))));
}

template <size_t R, size_t C> void expect_cosines(const float (&t)[R][C], bool synthesis) {
    const int m = static_cast<int>(R);
    for (int i = 0; i < m; ++i)
        for (int k = 0; k < 2 * m; ++k)
            EXPECT_EQ(t[i][k], cosine_entry(i, k, m, synthesis)) << "row " << i << " column " << k;
}

template <size_t N> void expect_window(const std::array<float, N> &w, float w1, float centre) {
    const int m = static_cast<int>(N) / 10;
    EXPECT_EQ(w[0], 0.0f);
    EXPECT_EQ(w[1], w1);
    EXPECT_EQ(w[5 * m], centre);
    for (int n = 1; n < 10 * m; ++n) {
        if (n % (2 * m) == 0)
            EXPECT_EQ(w[10 * m - n], -w[n]) << n;
        else
            EXPECT_EQ(w[10 * m - n], w[n]) << n;
    }
}

}  // namespace

TEST(SbcTables, AnalysisCosinesFollowTheirRule) {
    expect_cosines(sbc_analysis_cos_8, false);
    expect_cosines(sbc_analysis_cos_4, false);
}

TEST(SbcTables, SynthesisCosinesFollowTheirRule) {
    expect_cosines(sbc_synthesis_cos_8, true);
    expect_cosines(sbc_synthesis_cos_4, true);
}

TEST(SbcTables, WindowsHaveTheirSymmetryAndAnchors) {
    expect_window(sbc_window_8, 1.56575398E-04f, 1.46955068E-01f);
    expect_window(sbc_window_4, 5.36548976E-04f, 2.94315332E-01f);
}
