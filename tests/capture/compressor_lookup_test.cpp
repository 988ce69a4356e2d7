// Compressor lookup on the fake compressor manager and registry.
#include "capture/compressor_lookup.h"

#include <gtest/gtest.h>

#include "tests/fake/fake_platform.h"

namespace {

const char* const kKey = "HKEY_CURRENT_USER\\Software\\GNU\\x264";

fake::FakeCompressor Compressor(const char (&handler)[5], std::u16string description) {
  fake::FakeCompressor c;
  c.fcc_handler = mmioFOURCC(handler[0], handler[1], handler[2], handler[3]);
  c.description = std::move(description);
  return c;
}

std::u16string DescriptionOf(const ICINFO& info) {
  std::u16string text;
  for (WCHAR c : info.szDescription) {
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

class CompressorLookup : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  // Nothing was asked that the system would refuse.
  void TearDown() override { EXPECT_EQ(fake::ReadCounters().refused, std::vector<std::string>{}); }
  ICINFO info{};
};

TEST_F(CompressorLookup, StopsAtTheFirstCompressorDescribedAsX264vfw) {
  fake::SetCompressors({Compressor("cvid", u"Cinepak Codec by Radius"),
                        Compressor("x264", u"x264vfw - H.264/MPEG-4 AVC codec"),
                        Compressor("xvid", u"x264vfw look-alike")});
  EXPECT_EQ(FindCompressor(&info), &info);

  fake::Counters counted = fake::ReadCounters();
  const fake::CompressorCalls& calls = counted.compressor_calls;
  std::vector<DWORD> expected{mmioFOURCC('c', 'v', 'i', 'd'), mmioFOURCC('x', '2', '6', '4')};
  EXPECT_EQ(calls.opened, expected);
  EXPECT_EQ(calls.described, expected);
  EXPECT_EQ(calls.closed, 2);
  EXPECT_EQ(counted.open_compressor_handles, 0);
  EXPECT_EQ(info.fccHandler, mmioFOURCC('x', '2', '6', '4'));
  EXPECT_EQ(info.fccType, ICTYPE_VIDEO);
  EXPECT_EQ(DescriptionOf(info), u"x264vfw - H.264/MPEG-4 AVC codec");
}

TEST_F(CompressorLookup, MatchesAnywhereInTheDescriptionButOnlyInLowerCase) {
  WCHAR description[128] = {};
  auto set = [&](std::u16string_view text) {
    std::fill(std::begin(description), std::end(description), WCHAR{0});
    std::copy(text.begin(), text.end(), description);
  };
  set(u"H.264 by x264vfw");
  EXPECT_TRUE(DescribesX264vfw(description));
  set(u"X264VFW H.264");
  EXPECT_FALSE(DescribesX264vfw(description));
  set(u"x264vf");
  EXPECT_FALSE(DescribesX264vfw(description));
  // An unterminated description is read no further than its 128 characters.
  std::fill(std::begin(description), std::end(description), u'a');
  std::copy_n(u"x264vfw", 7, description + 121);
  EXPECT_TRUE(DescribesX264vfw(description));
}

TEST_F(CompressorLookup, NoMatchGivesNullButStillWritesTheSettings) {
  fake::SetCompressors({Compressor("cvid", u"Cinepak"), Compressor("X264", u"X264VFW")});
  EXPECT_EQ(FindCompressor(&info), nullptr);
  EXPECT_EQ(fake::ReadCounters().compressor_calls.opened.size(), 2u);
  DWORD value = 99;
  ASSERT_TRUE(fake::RegistryDword(kKey, "encoding_type", &value));
  EXPECT_EQ(value, 3u);

  fake::Reset();
  fake::SetCompressors({});
  EXPECT_EQ(FindCompressor(&info), nullptr);
  EXPECT_TRUE(fake::RegistryKeyExists(kKey));
}

TEST_F(CompressorLookup, ACompressorThatCannotBeOpenedIsPassedOver) {
  fake::FakeCompressor broken = Compressor("x264", u"x264vfw");
  broken.opens_allowed = 0;
  fake::SetCompressors({broken, Compressor("h264", u"another x264vfw build")});
  EXPECT_EQ(FindCompressor(&info), &info);
  EXPECT_EQ(info.fccHandler, mmioFOURCC('h', '2', '6', '4'));
}

TEST_F(CompressorLookup, OverwritesBothSettingsAndClosesItsKeys) {
  fake::SetRegistryDword(kKey, "encoding_type", 4);
  fake::SetRegistryDword(kKey, "log_level", 2);
  FindCompressor(&info);
  DWORD encoding = 0, log_level = 9;
  ASSERT_TRUE(fake::RegistryDword(kKey, "encoding_type", &encoding));
  ASSERT_TRUE(fake::RegistryDword(kKey, "log_level", &log_level));
  EXPECT_EQ(encoding, 3u);
  EXPECT_EQ(log_level, 0u);
  std::vector<std::string> order{"HKEY_CURRENT_USER\\Software\\GNU\\x264\\encoding_type",
                                 "HKEY_CURRENT_USER\\Software\\GNU\\x264\\log_level"};
  fake::Counters counted = fake::ReadCounters();
  EXPECT_EQ(counted.registry_writes, order);
  EXPECT_EQ(counted.open_registry_keys, 0);
}

TEST_F(CompressorLookup, AKeyThatCannotBeCreatedStopsTheSettingsButNotTheLookup) {
  for (const char* path : {"HKEY_CURRENT_USER\\Software", "HKEY_CURRENT_USER\\Software\\GNU",
                           "HKEY_CURRENT_USER\\Software\\GNU\\x264"}) {
    SCOPED_TRACE(path);
    fake::Reset();
    fake::FailKeyCreate(path, ERROR_ACCESS_DENIED);
    EXPECT_EQ(FindCompressor(&info), &info);
    fake::Counters counted = fake::ReadCounters();
    EXPECT_TRUE(counted.registry_writes.empty());
    EXPECT_EQ(counted.open_registry_keys, 0);
  }
}

TEST_F(CompressorLookup, AFailedEncodingTypeLeavesLogLevelUnwritten) {
  fake::FailValueSet("encoding_type", ERROR_ACCESS_DENIED);
  EXPECT_EQ(FindCompressor(&info), &info);
  EXPECT_TRUE(fake::ReadCounters().registry_writes.empty());
  DWORD value;
  EXPECT_FALSE(fake::RegistryDword(kKey, "log_level", &value));
}

}  // namespace
