#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "Runtime.Exception.h"
#include "Tarn.Utils.h"

using Runtime::EConvertError;
using Runtime::TBytes;
using Runtime::TDateTime;

namespace {

TBytes BytesOf(std::string_view S) {
    return TBytes(S.begin(), S.end());
}

// The time of day as a day fraction, built by hand so the tests do not lean on EncodeTime.
double DayFraction(int H, int M, int S, int MS = 0) {
    return (((H * 60.0 + M) * 60 + S) * 1000 + MS) / 86400000.0;
}

constexpr double May6th2024 = 45418;  // day count of 2024-05-06

}  // namespace

// ---- Percent coding ----

TEST(PercentCoding, Encode) {
    struct Case {
        const char* Name;
        std::string In, Out;
    };
    const Case Cases[] = {
        {"blank, slash and two-byte letter", "a b/\xC3\xA9", "a%20b%2F%C3%A9"},
        {"unreserved marks stay", "A-z_0.9~!*'()", "A-z_0.9~!*'()"},
        {"empty", "", ""},
        {"reserved characters", "?#&=+:@%", "%3F%23%26%3D%2B%3A%40%25"},
        {"control and high bytes", std::string("\0\x1F\x7F\xFF", 4), "%00%1F%7F%FF"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Tarn::PercentEncode(C.In), C.Out);
    }
}

TEST(PercentCoding, Decode) {
    struct Case {
        const char* Name;
        std::string In, Out;
    };
    const Case Cases[] = {
        {"malformed triplets stay", "%zz%4", "%zz%4"},
        {"upper-case digits", "%C3%A9", "\xC3\xA9"},
        {"lower-case digits", "%c3%a9", "\xC3\xA9"},
        {"plus is not a blank", "a+b", "a+b"},
        {"lone percent", "%", "%"},
        {"percent and one digit", "%4", "%4"},
        {"triplet at the very end", "ab%41", "abA"},
        {"percent before a valid triplet", "%%41", "%A"},
        {"empty", "", ""},
        {"NUL byte", "a%00b", std::string("a\0b", 3)},
        // Text outside triplets keeps its UTF-8 bytes.
        {"non-ASCII text survives", "caf\xC3\xA9 %E2%82%AC", "caf\xC3\xA9 \xE2\x82\xAC"},
        {"mixed raw and encoded halves", "\xC3%A9", "\xC3\xA9"},
        // Bytes that are not UTF-8 become U+FFFD, one per maximal bad sequence.
        {"lone high byte", "%FF", "\xEF\xBF\xBD"},
        {"truncated sequence", "%E2%82x", "\xEF\xBF\xBDx"},
        {"surrogate", "%ED%A0%80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"overlong slash", "%C0%AF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"raw invalid byte", "a\xFF", "a\xEF\xBF\xBD"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Tarn::PercentDecode(C.In), C.Out);
    }
}

TEST(PercentCoding, EveryByteRoundTrips) {
    std::string All;
    for (int i = 0; i < 128; ++i) All += static_cast<char>(i);
    All += "\xC3\xA9\xF0\x9F\x98\x80";
    EXPECT_EQ(Tarn::PercentDecode(Tarn::PercentEncode(All)), All);
}

// ---- Base64 ----

TEST(Base64, EncodeKnownVectors) {
    const std::pair<std::string, std::string> Cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xFB\xFF\xBF", 3), "+/+/"},
    };
    for (const auto& [Plain, Encoded] : Cases) {
        SCOPED_TRACE(Plain);
        EXPECT_EQ(Tarn::EncodeBase64(Plain), Encoded);
        EXPECT_EQ(Tarn::EncodeBase64(BytesOf(Plain)), Encoded);
        EXPECT_EQ(Tarn::DecodeBase64(Encoded), BytesOf(Plain));
    }
}

TEST(Base64, DecodeLenientForms) {
    struct Case {
        const char* Name;
        std::string In, Out;
    };
    const Case Cases[] = {
        {"unpadded two characters", "Zg", "f"},
        {"unpadded three characters", "Zm8", "fo"},
        {"single leftover character ignored", "Zm9vY", "foo"},
        {"single character alone", "Z", ""},
        {"padding in the third place ends the group", "Zg==Zg==", "ff"},
        {"data after padding in the group is ignored", "Zg=A", "f"},
        {"padding in the fourth place", "Zm8=", "fo"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Tarn::DecodeBase64(C.In), BytesOf(C.Out));
    }
}

TEST(Base64, DecodeRejectsCharactersOutsideTheAlphabet) {
    struct Case {
        const char* Name;
        std::string In;
        const char* Message;
    };
    const Case Cases[] = {
        {"blank", "Zm 9v", "Invalid Base64 text: ' ' at position 3 is not allowed there"},
        {"line break", "Zm9v\r\nYmFy",
         "Invalid Base64 text: byte 0x0D at position 5 is not allowed there"},
        {"URL-safe alphabet", "Zm-_",
         "Invalid Base64 text: '-' at position 3 is not allowed there"},
        {"non-ASCII byte", "Zm9\xC3\xA9",
         "Invalid Base64 text: byte 0xC3 at position 4 is not allowed there"},
        {"bad leftover character", "Zm9v*",
         "Invalid Base64 text: '*' at position 5 is not allowed there"},
        {"padding first in a group", "=Zm9",
         "Invalid Base64 text: '=' at position 1 is not allowed there"},
        {"padding second in a group",
         "Zm9vZ===", "Invalid Base64 text: '=' at position 6 is not allowed there"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        try {
            (void)Tarn::DecodeBase64(C.In);
            ADD_FAILURE() << "no exception";
        } catch (const EConvertError& E) {
            EXPECT_EQ(E.Message(), C.Message);
        }
    }
}

TEST(Base64, EveryByteValueRoundTrips) {
    TBytes All;
    for (int i = 0; i < 256; ++i) All.push_back(static_cast<std::uint8_t>(255 - i));
    for (std::size_t Len = 0; Len <= All.size(); Len += 37) {
        const TBytes Part(All.begin(), All.begin() + static_cast<std::ptrdiff_t>(Len));
        EXPECT_EQ(Tarn::DecodeBase64(Tarn::EncodeBase64(Part)), Part) << Len;
    }
}

// ---- URL joining ----

TEST(CombineUrlFast, Joins) {
    EXPECT_EQ(Tarn::CombineUrlFast("http://h/a", "b"), "http://h/a/b");
    EXPECT_EQ(Tarn::CombineUrlFast("", "b"), "b");
    EXPECT_EQ(Tarn::CombineUrlFast("http://h/a/", "b"), "http://h/a/b");
    EXPECT_EQ(Tarn::CombineUrlFast("http://h/a", "/b"), "http://h/a//b");
    EXPECT_EQ(Tarn::CombineUrlFast("http://h", ""), "http://h/");
}

// ---- ISO 8601 texts ----

TEST(IsoTexts, Format) {
    const double At1030 = DayFraction(10, 30, 0);
    EXPECT_EQ(Tarn::DateTimeToISO(May6th2024 + At1030, true), "2024-05-06T10:30");
    EXPECT_EQ(Tarn::DateTimeToISO(May6th2024 + At1030, false), "2024-05-06T10:30");
    EXPECT_EQ(Tarn::DateTimeToISO(May6th2024, false), "2024-05-06");
    EXPECT_EQ(Tarn::DateTimeToISO(May6th2024, true), "2024-05-06T00:00");
    EXPECT_EQ(Tarn::DateTimeToISO(DayFraction(10, 30, 15, 250), false), "10:30:15.250");
    EXPECT_EQ(Tarn::DateTimeToISO(DayFraction(10, 30, 15, 250), true), "1899-12-30T10:30:15.250");
    EXPECT_EQ(Tarn::TimeToISO(DayFraction(10, 30, 15)), "10:30:15");
    EXPECT_EQ(Tarn::TimeToISO(DayFraction(0, 0, 0, 7)), "00:00:00.007");
    EXPECT_EQ(Tarn::DateToISO(1), "1899-12-31");
    EXPECT_EQ(Tarn::DateToISO(-693593), "0001-01-01");
    // A hair below midnight rounds to the next day rather than printing 24:00.
    EXPECT_EQ(Tarn::DateTimeToISO(May6th2024 + 0.9999999999, true), "2024-05-07T00:00");
}

TEST(IsoTexts, ParseAccepted) {
    struct Case {
        const char* Name;
        const char* Text;
        double Value;
    };
    const Case Cases[] = {
        {"date with hyphens", "2024-05-06", May6th2024},
        {"basic date", "20240506", May6th2024},
        {"leap day", "2024-02-29", May6th2024 - 67},
        {"first date", "0001-01-01", -693593},
        {"last date", "9999-12-31", 2958465},
        {"time hh:mm", "10:30", DayFraction(10, 30, 0)},
        {"basic time hhmm", "1030", DayFraction(10, 30, 0)},
        {"time with seconds", "10:30:15", DayFraction(10, 30, 15)},
        {"basic time with seconds", "103015", DayFraction(10, 30, 15)},
        {"one fraction digit is tenths", "10:30:15.2", DayFraction(10, 30, 15, 200)},
        {"digits beyond milliseconds ignored", "10:30:15.2509", DayFraction(10, 30, 15, 250)},
        {"date and time", "2024-05-06T10:30:00", May6th2024 + DayFraction(10, 30, 0)},
        {"basic date and time", "20240506T103000.5", May6th2024 + DayFraction(10, 30, 0, 500)},
        {"empty text", "", 0},
        {"empty parts around T", "T", 0},
        {"last moment of a day", "23:59:59.999", DayFraction(23, 59, 59, 999)},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TDateTime V = -1;
        ASSERT_TRUE(Tarn::TryISOToDateTime(C.Text, V));
        EXPECT_NEAR(V, C.Value, 1e-9);
        EXPECT_NEAR(Tarn::ISOToDateTime(C.Text), C.Value, 1e-9);
    }
}

TEST(IsoTexts, ParseRejected) {
    const char* Cases[] = {
        "2024-05-06T10:30:00Z",  // zone designators are not read
        "10:30+01:00",
        "10:30-05",
        "2024-0506",  // one hyphen without the other
        "202405-06",
        "2024-02-30",  // no such date
        "0000-01-01",
        "2023-02-29",
        "24:00",  // hour, minute and second ranges
        "10:60",
        "10:30:60",
        "10:3015",  // seconds need the colon when minutes had one
        "1030:15",
        "10:30:15.",  // fraction needs a digit
        "10:30.5",    // fraction only after seconds
        "2024-05-06 10:30",
        "\xD9\xA1\xD9\xA2:30",          // Arabic-Indic digits are not digits here
        "\xEF\xBC\x91\xEF\xBC\x90:30",  // nor are full-width ones
        "2024-05-06TT10:30",
        "x",
        "2024-05-06x",
    };
    for (const char* Text : Cases) {
        SCOPED_TRACE(Text);
        TDateTime V = 12345;
        EXPECT_FALSE(Tarn::TryISOToDateTime(Text, V));
        EXPECT_EQ(V, 12345);
        try {
            (void)Tarn::ISOToDateTime(Text);
            ADD_FAILURE() << "no exception";
        } catch (const EConvertError& E) {
            EXPECT_EQ(E.Message(), std::string("Value ") + Text + " is not a valid datetime");
        }
    }
}

TEST(IsoTexts, DateAndTimeForms) {
    // The time form keeps only the time of day of whatever was parsed.
    EXPECT_NEAR(Tarn::ISOToTime("2024-05-06T10:30"), DayFraction(10, 30, 0), 1e-9);
    EXPECT_EQ(Tarn::ISOToTime("2024-05-06"), 0);
    EXPECT_NEAR(Tarn::ISOToDate("2024-05-06"), May6th2024, 1e-9);
    EXPECT_THROW((void)Tarn::ISOToDate("2024-13-01"), EConvertError);
    EXPECT_THROW((void)Tarn::ISOToTime("25:00"), EConvertError);
    // An empty time after "T" counts as midnight.
    EXPECT_NEAR(Tarn::ISOToDateTime("2024-05-06T"), May6th2024, 1e-9);
}

TEST(IsoTexts, DatesBeforeTheEpochDayRoundTrip) {
    // Day counts below 0 run backwards while their time of day runs forwards.
    const char* Texts[] = {"1899-12-29T06:00", "1800-01-01T23:59:59.500", "0001-01-01T12:00",
                           "1899-12-30T00:00:00.001", "2024-05-06T10:30:15.250"};
    for (const char* Text : Texts) {
        SCOPED_TRACE(Text);
        EXPECT_EQ(Tarn::DateTimeToISO(Tarn::ISOToDateTime(Text), true), Text);
    }
    EXPECT_NEAR(Tarn::ISOToDateTime("1899-12-29T06:00"), -1.25, 1e-9);
}

// ---- Day-time durations ----

TEST(Durations, Format) {
    EXPECT_EQ(Tarn::DateTimeToDayTimeDuration(1.5), "P1D12H");
    EXPECT_EQ(Tarn::DateTimeToDayTimeDuration(0), "P0D");
    EXPECT_EQ(Tarn::DateTimeToDayTimeDuration(DayFraction(1, 2, 3, 999)), "P1H2M3S");
    EXPECT_EQ(Tarn::DateTimeToDayTimeDuration(DayFraction(0, 0, 0, 400)), "P0D");
    EXPECT_EQ(Tarn::DateTimeToDayTimeDuration(2 + DayFraction(0, 0, 5)), "P2D5S");
    // Day counts past 16 bits are written in full.
    EXPECT_EQ(Tarn::DateTimeToDayTimeDuration(70000), "P70000D");
    EXPECT_THROW((void)Tarn::DateTimeToDayTimeDuration(NAN), EConvertError);
}

TEST(Durations, Parse) {
    struct Case {
        const char* Name;
        const char* Text;
        bool Ok;
        double Value;
    };
    const Case Cases[] = {
        {"days and hours", "P1D12H", true, 1.5},
        {"all components", "P1D2H3M4S", true, 1 + DayFraction(2, 3, 4)},
        {"any order", "P4S3M", true, DayFraction(0, 3, 4)},
        {"a later letter replaces", "P1H2H", true, DayFraction(2, 0, 0)},
        {"trailing text ignored", "P5S6", true, DayFraction(0, 0, 5)},
        {"T ends the reading", "P1DT2H", true, 1},
        {"T first gives nothing", "PT1H", false, 0},
        {"P alone", "P", false, 0},
        {"empty", "", false, 0},
        {"no P", "1D", false, 0},
        {"lower-case letters are not components", "P1d", false, 0},
        {"letter without digits", "PD", false, 0},
        {"huge day count saturates", "P99999999999999999999999D", true, 1e15},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TDateTime V = -1;
        EXPECT_EQ(Tarn::TryDayTimeDurationToDateTime(C.Text, V), C.Ok);
        if (C.Ok)
            EXPECT_NEAR(V, C.Value, 1e-9);
        else
            EXPECT_EQ(V, -1);
    }
}

TEST(Durations, OutOfRangeTimePartsRaise) {
    TDateTime V;
    for (const char* Text : {"P24H", "P60M", "P60S", "P99999999999H"}) {
        SCOPED_TRACE(Text);
        EXPECT_THROW(Tarn::TryDayTimeDurationToDateTime(Text, V), EConvertError);
    }
}

// ---- GUID text ----

TEST(GuidText, ReadsTheUnbracedForm) {
    Runtime::TGUID G;
    ASSERT_TRUE(Tarn::TryStringToGuid("6ba7b810-9dad-11d1-80b4-00c04fd430c8", G));
    EXPECT_EQ(G.D1, 0x6ba7b810u);
    EXPECT_EQ(G.D2, 0x9dad);
    EXPECT_EQ(G.D3, 0x11d1);
    EXPECT_EQ(G.D4[0], 0x80);
    EXPECT_EQ(G.D4[7], 0xc8);
    EXPECT_EQ(Runtime::GUIDToString(G), "{6BA7B810-9DAD-11D1-80B4-00C04FD430C8}");

    const Runtime::TGUID Before = G;
    for (const char* Bad :
         {"{6ba7b810-9dad-11d1-80b4-00c04fd430c8}", "6ba7b810-9dad-11d1-80b4-00c04fd430c",
          "6ba7b810-9dad-11d1-80b4-00c04fd430c8a", "6ba7b8109dad-11d1-80b4-00c04fd430c8-",
          "6ba7b810-9dad-11d1-80b4-00c04fd430cg", "", "6ba7b810-9dad-11d1-80b-400c04fd430c8"}) {
        SCOPED_TRACE(Bad);
        EXPECT_FALSE(Tarn::TryStringToGuid(Bad, G));
        EXPECT_EQ(G, Before);
    }
}
