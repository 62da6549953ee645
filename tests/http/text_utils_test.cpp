#include "http/text_utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>

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

// Runs `check` on its own thread and fails when it has not finished within the limit (a parser
// caught in a loop must fail the test, not hang it).
void EndsWithin(std::chrono::seconds limit, std::function<void()> check) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([done, check = std::move(check)] {
        check();
        done->set_value();
    }).detach();
    if (finished.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "GetValue did not end";
        return;
    }
    finished.get();
}

TEST(GetValueTest, EndsAndStaysOnItsLineForAnyArguments) {
    EndsWithin(std::chrono::seconds(20), [] {
        // A key that begins with a delimiter; a separator that holds one.
        EXPECT_EQ(HUtils::GetValue("\nKey", "=", "a\nKey=1\n", "\r\n"), "");
        EXPECT_EQ(HUtils::GetValue("Key", "=\r\n", "Key=\r\nNext=2\r\n", "\r\n"), "");
        EXPECT_EQ(HUtils::GetValue("Key", "=", "Key=1\r\nNext=2", "="), "");

        // Every combination of short keys, separators, delimiters and texts over a small
        // alphabet: the call ends, and a value is a piece of the text without a delimiter.
        const std::string alphabet = "a=\n ";
        std::mt19937 random(7);
        const auto word = [&](size_t minimum, size_t maximum) {
            std::string out(std::uniform_int_distribution<size_t>(minimum, maximum)(random), ' ');
            for (char& c : out) c = alphabet[random() % alphabet.size()];
            return out;
        };
        for (int i = 0; i < 20000; ++i) {
            const std::string key = word(1, 3), separator = word(1, 2), delimiters = word(1, 2);
            const std::string text = word(0, 12);
            const std::string value = HUtils::GetValue(key, separator, text, delimiters);
            EXPECT_EQ(value.find_first_of(delimiters), std::string::npos)
                << "key '" << key << "' separator '" << separator << "' text '" << text << "'";
            EXPECT_NE(text.find(value), std::string::npos);
        }
    });
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
