// Password scrambling: round trips, the output form, and the one-byte starting value.
#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "config/password_scramble.h"

namespace quelma::config {
namespace {

TEST(PasswordScramble, RoundTripsOfEveryLength) {
  for (const std::size_t length : {0u, 1u, 2u, 20u, 32u, 49u}) {
    for (int seed = 0; seed < 64; ++seed) {
      std::string plain;
      for (std::size_t i = 0; i < length; ++i) plain.push_back(static_cast<char>((seed * 37 + i * 101 + 7) & 0xFF));
      const std::string scrambled = ScramblePassword(plain);
      ASSERT_EQ(scrambled.size(), 2 * length);
      EXPECT_EQ(scrambled.find_first_not_of("0123456789ABCDEF"), std::string::npos) << scrambled;
      EXPECT_EQ(UnscramblePassword(scrambled), plain) << length << " " << seed;
      EXPECT_EQ(UnscramblePassword(scrambled + "-110-0-*"), plain) << "stops at the first non-digit";
    }
  }
}

TEST(PasswordScramble, EveryOneBytePasswordIsDistinctAndStartsFromEight) {
  std::set<std::string> seen;
  for (int c = 0; c < 256; ++c) {
    const std::string plain(1, static_cast<char>(c));
    const std::string scrambled = ScramblePassword(plain);
    seen.insert(scrambled);
    EXPECT_EQ(UnscramblePassword(scrambled), plain);
    // A two-byte password ending in "8" starts from the same byte as the one-byte password.
    EXPECT_EQ(ScramblePassword(plain + "8").substr(0, 2), scrambled);
  }
  EXPECT_EQ(seen.size(), 256u) << "the substitution table is a permutation";
}

TEST(PasswordScramble, MalformedTexts) {
  EXPECT_EQ(UnscramblePassword(""), "");
  EXPECT_EQ(UnscramblePassword("-110-0-*"), "");
  EXPECT_EQ(UnscramblePassword("ZZ"), "");
  const std::string two = ScramblePassword("ab");
  EXPECT_EQ(UnscramblePassword(two + "F"), "ab") << "a lone digit at the end is ignored";
  std::string lower = two;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(UnscramblePassword(lower), "ab") << "hand-written lower-case digits read too";
}

}  // namespace
}  // namespace quelma::config
