#include "http/text_utils.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseIntTest, AcceptsSignedDecimalsOnly) {
    int32_t v = 99;
    EXPECT_TRUE(HUtils::ParseInt("-12", v));
    EXPECT_EQ(v, -12);
    EXPECT_TRUE(HUtils::ParseInt("+7", v));
    EXPECT_EQ(v, 7);
    EXPECT_TRUE(HUtils::ParseInt("2147483647", v));
    EXPECT_EQ(v, 2147483647);
    EXPECT_TRUE(HUtils::ParseInt("-2147483648", v));
    EXPECT_EQ(v, INT32_MIN);
    for (const char* bad : {"", "-", "+", " 5", "5 ", "5a", "0x10", "2147483648", "-2147483649",
                            "99999999999999999999"}) {
        v = 99;
        EXPECT_FALSE(HUtils::ParseInt(bad, v)) << bad;
        EXPECT_EQ(v, 0) << bad;
    }
}

TEST(GetValueTest, FindsKeysTheWayTheCameraAnswersAreRead) {
    EXPECT_EQ(HUtils::GetValue("Valid", "=", "Valid=1\r\n", "\r\n"), "1");
    EXPECT_EQ(HUtils::GetValue("Valid", "=", "Valid=1", "\r\n"), "1");
    EXPECT_EQ(HUtils::GetValue("Valid", "=", "Valid:1\r\n", "\r\n"), "");
    EXPECT_EQ(HUtils::GetValue("ProductID", "=", "ProductID = 5\r\n", "\r\n"), " 5");
    // A key that is the tail of a longer name on an earlier line matches there.
    EXPECT_EQ(HUtils::GetValue("Num", "=", "AudioNum=2\r\nNum=3\r\n", "\r\n"), "2");
    EXPECT_EQ(HUtils::GetValue("HD", "=", "HDX=4\r\nHD=1\r\n", "\r\n"), "1");
    EXPECT_EQ(HUtils::GetValue("Version", "=", "Version=\r\n", "\r\n"), "");
    EXPECT_EQ(HUtils::GetValue("Missing", "=", "A=1\r\n", "\r\n"), "");
    EXPECT_EQ(HUtils::GetValue("", "=", "A=1", "\r\n"), "");
    EXPECT_EQ(HUtils::GetValue("A", "=", "A=1", ""), "");
    // Repeated keys: the first wins.
    EXPECT_EQ(HUtils::GetValue("A", "=", "A=1\r\nA=2\r\n", "\r\n"), "1");
}

TEST(TextTest, TrimRemoveAndFormat) {
    EXPECT_EQ(HUtils::Trim(" \t a b \t"), "a b");
    EXPECT_EQ(HUtils::Trim(" \t "), "");
    EXPECT_EQ(HUtils::RemoveChars("192.0.2.10", "."), "1920210");
    EXPECT_EQ(HUtils::FormatString("%s_%u", "Zarn", 80u), "Zarn_80");
    EXPECT_EQ(HUtils::FormatString("%s", ""), "");
    EXPECT_EQ(HUtils::AtoiSaturated(" 42abc"), 42);
    EXPECT_EQ(HUtils::AtoiSaturated("abc"), 0);
    EXPECT_EQ(HUtils::AtoiSaturated("99999999999"), INT32_MAX);
}

// Inputs the fuzz target (fuzz/cgi_answer_fuzz.cpp) found, one case each.
TEST(CgiAnswerTest, FuzzRegression) {
    // A key that starts with a delimiter ends the line where it is found; the search once started
    // again at that very place, for ever. No name holds a delimiter, so such a key is never found.
    EXPECT_EQ(HUtils::GetValue("\n", "=\n==", "=\n==\n=\n", "=\n"), "");
    EXPECT_EQ(HUtils::GetValue("\r\nValid", "=", "A=1\r\nValid=0\r\n", "\r\n"), "");
}

}  // namespace

TEST(PercentEncodeTest, KeepsOnlyUnreservedCharacters) {
    EXPECT_EQ(HUtils::PercentEncode(""), "");
    EXPECT_EQ(HUtils::PercentEncode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(HUtils::PercentEncode("a&b#c%d+e=f:g h/"), "a%26b%23c%25d%2Be%3Df%3Ag%20h%2F");
    // Bytes above 0x7F and NUL are encoded byte by byte, upper-case hex.
    EXPECT_EQ(HUtils::PercentEncode(std::string("\xC3\xBC\x00\x7F", 4)), "%C3%BC%00%7F");
}
