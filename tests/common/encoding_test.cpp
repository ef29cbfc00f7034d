#include <gtest/gtest.h>

#include "common/crypto.hpp"
#include "common/encoding.hpp"
#include "common/text.hpp"

using namespace drovix;

TEST(Encoding, Base64RoundTripsAndUrlAlphabet) {
  for (std::string s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    EXPECT_EQ(base64_decode(base64_encode(s)).value(), s);
    EXPECT_EQ(base64_decode(base64url_encode_nopad(s)).value(), s);
  }
  EXPECT_EQ(base64_encode("foob"), "Zm9vYg==");
  EXPECT_EQ(base64url_encode_nopad("\xfb\xff"), "-_8");
  EXPECT_FALSE(base64_decode("ab$d").has_value());
}

TEST(Encoding, HexAndUuid) {
  EXPECT_EQ(hex_lower(std::string("\x00\x0f\xff", 3)), "000fff");
  EXPECT_EQ(hex_decode("000fFF").value(), std::string("\x00\x0f\xff", 3));
  std::string u = uuid_v4();
  ASSERT_EQ(u.size(), 36u);
  EXPECT_EQ(u[14], '4');
  EXPECT_NE(u, uuid_v4());
}

TEST(Crypto, SealedBlobRoundTripAndRefusals) {
  std::string blob = seal_blob("{\"a\":1}", "pass");
  EXPECT_EQ(blob.size(), 12u + 7u + 16u);
  EXPECT_EQ(open_blob(blob, "pass").value(), "{\"a\":1}");
  EXPECT_EQ(open_blob(blob, "other").message(), "decrypt failed (bad passphrase or corrupt blob)");
  EXPECT_EQ(open_blob(blob.substr(0, 27), "pass").message(), "blob too short");
  blob[14] ^= 1;
  EXPECT_FALSE(open_blob(blob, "pass").ok());
}

TEST(Text, LossyTrimAndCharacters) {
  EXPECT_EQ(utf8_lossy("a\xff" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(trim_unicode("\xE2\x80\x83 x y\t\n"), "x y");  // em space
  EXPECT_EQ(take_chars("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 3), "\xC3\xA9\xC3\xA9\xC3\xA9");
  EXPECT_EQ(take_chars("abc", 4000), "abc");
  EXPECT_EQ(char_count("\xC3\xA9x"), 2u);
  EXPECT_EQ(to_lower_unicode("\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9");
}
