#include "http_request_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace zarncam {
namespace {

using Result = HttpRequestParser::Result;

TEST(HttpRequestParserTest, ParsesRequestLineAndHeadersFedByteByByte) {
    const std::string text =
        "GET /cgi-bin/PtzConfig.cgi?Action=Get HTTP/1.1\r\nHost: x\r\nAuthorization:  Basic "
        "YTpi \r\n\r\nGET /next HTTP/1.1\r\n";
    HttpRequestParser parser(8192);
    Result result = Result::kNeedMore;
    std::size_t i = 0;
    while (result == Result::kNeedMore && i < text.size()) result = parser.Feed(&text[i++], 1);
    ASSERT_EQ(result, Result::kDone);
    EXPECT_EQ(parser.Request().method, "GET");
    EXPECT_EQ(parser.Request().target, "/cgi-bin/PtzConfig.cgi?Action=Get");
    EXPECT_EQ(parser.Request().Header("authorization"), "Basic YTpi");
    EXPECT_TRUE(parser.Request().KeepAlive());

    // Bytes of a pipelined request are kept for the next round.
    parser.Feed(text.data() + i, text.size() - i);
    parser.Reset(parser.TakeRemainder());
    EXPECT_EQ(parser.Feed("", 0), Result::kNeedMore);
    EXPECT_EQ(parser.Feed("\r\n", 2), Result::kDone);
    EXPECT_EQ(parser.Request().target, "/next");

    // A complete request handed over whole is found without further bytes.
    parser.Reset("GET /whole HTTP/1.1\r\nA: b\r\n\r\n");
    EXPECT_EQ(parser.Feed("", 0), Result::kDone);
    EXPECT_EQ(parser.Request().target, "/whole");
}

TEST(HttpRequestParserTest, BoundsTheHeadAndRejectsMalformedRequests) {
    HttpRequestParser big(256);
    const std::string longHeader = "GET / HTTP/1.1\r\nX: " + std::string(300, 'a');
    EXPECT_EQ(big.Feed(longHeader.data(), longHeader.size()), Result::kTooLarge);

    for (const std::string bad :
         {"GET /\r\n\r\n", "GET / HTTP/2.0\r\n\r\n", "GET  HTTP/1.1\r\n\r\n",
          "G(T / HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\nNoColon\r\n\r\n"}) {
        HttpRequestParser parser(8192);
        EXPECT_EQ(parser.Feed(bad.data(), bad.size()), Result::kBad) << bad;
    }

    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 150; ++i) many += "X-" + std::to_string(i) + ": 1\r\n";
    many += "\r\n";
    HttpRequestParser parser(1 << 16);
    EXPECT_EQ(parser.Feed(many.data(), many.size()), Result::kTooLarge);
}

TEST(HttpRequestParserTest, ConnectionPersistenceFollowsVersionAndHeader) {
    auto parse = [](const std::string& text) {
        HttpRequestParser parser(8192);
        EXPECT_EQ(parser.Feed(text.data(), text.size()), Result::kDone);
        return parser.Request().KeepAlive();
    };
    EXPECT_FALSE(parse("GET / HTTP/1.1\r\nConnection: Close\r\n\r\n"));
    EXPECT_FALSE(parse("GET / HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(parse("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
}

TEST(QueryTest, DecodesPercentEscapesAndKeepsBrokenOnes) {
    EXPECT_EQ(PercentDecode("p%26w%20%2B%25x+y"), "p&w +%x y");
    EXPECT_EQ(PercentDecode("100%"), "100%");
    EXPECT_EQ(PercentDecode("%zz%4"), "%zz%4");

    const auto q = ParseQuery("Action=Check&User=a%3Db&&Password=&flag");
    ASSERT_EQ(q.size(), 4u);
    EXPECT_EQ(QueryValue(q, "user"), "a=b");
    EXPECT_EQ(QueryValue(q, "Password"), "");
    EXPECT_EQ(QueryValue(q, "flag"), "");
    EXPECT_FALSE(QueryValue(q, "Missing").has_value());
}

}  // namespace
}  // namespace zarncam
