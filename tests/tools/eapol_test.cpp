// The demo's 802.1X pieces must be right for the exchange to mean anything.
#include <gtest/gtest.h>

#include <string>

#include "tools/demo/eapol.h"

namespace {

std::string Hex(const demo::Md5Digest &digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

demo::Md5Digest Md5Of(std::string_view text)
{
    return demo::Md5(std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
}

TEST(Md5, MatchesTheReferenceVectors)
{
    EXPECT_EQ(Hex(Md5Of("")), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Hex(Md5Of("abc")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Hex(Md5Of("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Hex(Md5Of("12345678901234567890123456789012345678901234567890123456789012345678901234567890")),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Eapol, EapPacketsRoundTripAndArePadded)
{
    demo::Mac client = {2, 0, 0, 0, 0, 1};
    const uint8_t identity[] = {'a', 'l', 'i', 'c', 'e'};
    auto frame = demo::EapolEap(demo::kPaeGroupAddress, client, demo::EapCode::Response, 7,
                                demo::EapMethod::Identity, identity);
    EXPECT_EQ(frame.size(), 60u);
    EXPECT_EQ(frame[12], 0x88);
    EXPECT_EQ(frame[13], 0x8E);
    auto parsed = demo::ParseEapol(frame);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->source, client);
    EXPECT_EQ(parsed->code, demo::EapCode::Response);
    EXPECT_EQ(parsed->identifier, 7);
    EXPECT_EQ(parsed->method, demo::EapMethod::Identity);
    EXPECT_EQ(parsed->data, std::vector<uint8_t>(identity, identity + 5));
}

TEST(Eapol, OtherAndMalformedFramesAreNotRead)
{
    demo::Mac a = {2, 0, 0, 0, 0, 1};
    EXPECT_FALSE(demo::ParseEapol(demo::EthernetFrame(a, a, 0x0800, {})));
    auto frame = demo::EapolStart(a, a);
    EXPECT_EQ(demo::ParseEapol(frame)->type, demo::EapolType::Start);
    frame[17] = 200;  // body longer than the frame
    EXPECT_FALSE(demo::ParseEapol(frame));
    EXPECT_FALSE(demo::ParseEapol(std::span(frame).first(15)));
}

TEST(Eapol, Md5ResponseCoversIdentifierSecretAndChallenge)
{
    const uint8_t challenge[] = {1, 2, 3, 4};
    auto expected = Md5Of(std::string("\x09") + "secret" + std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(demo::Md5ChallengeResponse(9, "secret", challenge), expected);
    EXPECT_NE(demo::Md5ChallengeResponse(10, "secret", challenge), expected);
}

}  // namespace
