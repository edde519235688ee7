#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Runtime.DateTime.h"
#include "Runtime.Exception.h"

using namespace Runtime;

TEST(DateTime, EncodeKnownDays) {
    struct Case {
        int Y, M, D;
        double Days;
    };
    const Case Cases[] = {{1899, 12, 30, 0},       {1899, 12, 31, 1},     {1970, 1, 1, 25569},
                          {2000, 2, 29, 36585},    {2024, 5, 6, 45418},   {1, 1, 1, -693593},
                          {9999, 12, 31, 2958465}, {1600, 3, 1, -109511}, {1899, 12, 29, -1}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << C.Y << "-" << C.M << "-" << C.D);
        EXPECT_EQ(EncodeDate(C.Y, C.M, C.D), C.Days);
        int Y, M, D;
        DecodeDate(C.Days, Y, M, D);
        EXPECT_EQ(Y, C.Y);
        EXPECT_EQ(M, C.M);
        EXPECT_EQ(D, C.D);
    }
}

TEST(DateTime, EncodeRejectsDatesThatDoNotExist) {
    const int Bad[][3] = {{2023, 2, 29}, {1900, 2, 29}, {2024, 4, 31}, {2024, 0, 1},
                          {2024, 13, 1}, {2024, 1, 0},  {0, 1, 1},     {10000, 1, 1}};
    for (const auto& B : Bad) {
        SCOPED_TRACE(testing::Message() << B[0] << "-" << B[1] << "-" << B[2]);
        double V = 7;
        EXPECT_FALSE(TryEncodeDate(B[0], B[1], B[2], V));
        EXPECT_EQ(V, 7);
        try {
            (void)EncodeDate(B[0], B[1], B[2]);
            ADD_FAILURE() << "no exception";
        } catch (const EConvertError& E) {
            EXPECT_STREQ(E.what(), "Invalid argument to date encode");
        }
    }
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_FALSE(IsLeapYear(1900));
}

TEST(DateTime, TimeEncodeAndDecode) {
    EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
    EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
    int H, M, S, MS;
    DecodeTime(EncodeTime(23, 59, 59, 999), H, M, S, MS);
    EXPECT_EQ(H * 10000000 + M * 100000 + S * 1000 + MS, 235959999);
    const int Bad[][4] = {
        {24, 0, 0, 0}, {0, 60, 0, 0}, {0, 0, 60, 0}, {0, 0, 0, 1000}, {-1, 0, 0, 0}};
    for (const auto& B : Bad) EXPECT_THROW((void)EncodeTime(B[0], B[1], B[2], B[3]), EConvertError);
}

TEST(DateTime, NegativeValuesKeepTheTimeOfDayForwards) {
    // 1899-12-29 06:00 is -1.25: one day back, then a quarter day forwards.
    const double V = ComposeDateTime(EncodeDate(1899, 12, 29), EncodeTime(6, 0, 0, 0));
    EXPECT_EQ(V, -1.25);
    int Y, M, D, H, Mi, S, MS;
    DecodeDate(V, Y, M, D);
    DecodeTime(V, H, Mi, S, MS);
    EXPECT_EQ(D, 29);
    EXPECT_EQ(H, 6);
    EXPECT_EQ(DateOf(V), -1);
    EXPECT_EQ(TimeOf(V), 0.25);
}

TEST(DateTime, DecodeOfValuesNoDateHasGivesZeros) {
    for (const double V :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), -1e300,
          1e300, MaxDateTime + 5, MinDateTime - 5}) {
        SCOPED_TRACE(V);
        int Y = 1, M = 1, D = 1, H = 1, Mi = 1, S = 1, MS = 1;
        DecodeDate(V, Y, M, D);
        DecodeTime(V, H, Mi, S, MS);
        EXPECT_EQ(Y + M + D + H + Mi + S + MS, 0);
    }
}

TEST(DateTime, NowIsToday) {
    const double N = Now();
    EXPECT_GT(N, EncodeDate(2020, 1, 1));
    EXPECT_LT(N, EncodeDate(2200, 1, 1));
}
