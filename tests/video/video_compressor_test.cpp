// The compressor manager and the x264 compressor as the grabber and the
// compressor lookup use them.
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "capture/compressor_lookup.h"
#include "platform/platform.h"
#include "tests/video/video_test_support.h"

namespace {

std::u16string text_of(const WCHAR* s, std::size_t capacity) {
  std::u16string out;
  for (std::size_t i = 0; i < capacity && s[i] != 0; ++i) out.push_back(s[i]);
  return out;
}

// Enumeration gives the x264 compressor at index 0 and nothing after it;
// ICInfo gives the codes, ICGetInfo the whole record with the description.
TEST(CompressorManagerTest, EnumeratesAndDescribesTheX264Compressor) {
  ICINFO info;
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_TRUE(ICInfo(ICTYPE_VIDEO, 0, &info));
  EXPECT_EQ(info.fccType, ICTYPE_VIDEO);
  EXPECT_EQ(info.fccHandler, mmioFOURCC('x', '2', '6', '4'));
  EXPECT_FALSE(ICInfo(ICTYPE_VIDEO, 1, &info));
  EXPECT_FALSE(ICInfo(mmioFOURCC('a', 'u', 'd', 'c'), 0, &info));

  HIC hic = ICOpen(ICTYPE_VIDEO, info.fccHandler, ICMODE_QUERY);
  ASSERT_NE(hic, nullptr);
  ICINFO full;
  std::memset(&full, 0xAB, sizeof full);
  EXPECT_EQ(ICGetInfo(hic, &full, sizeof full), static_cast<LRESULT>(sizeof full));
  EXPECT_EQ(full.dwSize, 568u);
  EXPECT_EQ(full.fccType, mmioFOURCC('v', 'i', 'd', 'c'));
  EXPECT_EQ(full.fccHandler, mmioFOURCC('x', '2', '6', '4'));
  EXPECT_EQ(text_of(full.szName, 16), u"x264vfw");
  EXPECT_NE(text_of(full.szDescription, 128).find(u"x264vfw"), std::u16string::npos);
  EXPECT_FALSE(text_of(full.szDriver, 128).empty());
  // A short byte count copies no more than asked.
  ICINFO part;
  std::memset(&part, 0xAB, sizeof part);
  EXPECT_EQ(ICGetInfo(hic, &part, 12), 12);
  EXPECT_EQ(part.dwFlags, 0xABABABABu);
  EXPECT_EQ(ICClose(hic), ICERR_OK);

  // Handler codes ignore case; unknown ones and other modes give no handle.
  hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('X', '2', '6', '4'), ICMODE_COMPRESS);
  EXPECT_NE(hic, nullptr);
  ICClose(hic);
  EXPECT_EQ(ICOpen(ICTYPE_VIDEO, mmioFOURCC('x', 'v', 'i', 'd'), ICMODE_QUERY), nullptr);
  EXPECT_EQ(ICOpen(ICTYPE_VIDEO, mmioFOURCC('x', '2', '6', '4'), 2 /* decompress */), nullptr);
}

// The query accepts what x264vfw accepts (BI_RGB, 24 or 32 bits, positive
// even sizes), so the grabber trims odd sizes as it must on Windows.
TEST(CompressorManagerTest, CompressQueryAcceptsWhatX264vfwAccepts) {
  HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('x', '2', '6', '4'), ICMODE_QUERY);
  ASSERT_NE(hic, nullptr);
  auto query = [hic](BITMAPINFOHEADER h) {
    return ICSendMessage(hic, ICM_COMPRESS_QUERY, reinterpret_cast<DWORD_PTR>(&h), 0);
  };
  EXPECT_EQ(query(dib_header(1366, 768, 24)), ICERR_OK);
  EXPECT_EQ(query(dib_header(1920, 1080, 32)), ICERR_OK);
  EXPECT_EQ(query(dib_header(2, 2, 24)), ICERR_OK);
  EXPECT_EQ(query(dib_header(1365, 768, 24)), ICERR_BADFORMAT);
  EXPECT_EQ(query(dib_header(1366, 767, 24)), ICERR_BADFORMAT);
  EXPECT_EQ(query(dib_header(1366, -768, 24)), ICERR_BADFORMAT);
  EXPECT_EQ(query(dib_header(0, 768, 24)), ICERR_BADFORMAT);
  EXPECT_EQ(query(dib_header(1366, 768, 16)), ICERR_BADFORMAT);
  EXPECT_EQ(query(dib_header(1366, 768, 8)), ICERR_BADFORMAT);
  BITMAPINFOHEADER bitfields = dib_header(640, 480, 32);
  bitfields.biCompression = 3;  // BI_BITFIELDS
  EXPECT_EQ(query(bitfields), ICERR_BADFORMAT);

  // An output format, when given, must be the compressor's own at that size.
  BITMAPINFOHEADER in = dib_header(640, 480, 24);
  BITMAPINFOHEADER out = in;
  out.biCompression = mmioFOURCC('H', '2', '6', '4');
  EXPECT_EQ(ICSendMessage(hic, ICM_COMPRESS_QUERY, reinterpret_cast<DWORD_PTR>(&in),
                          reinterpret_cast<DWORD_PTR>(&out)),
            ICERR_OK);
  out.biWidth = 320;
  EXPECT_EQ(ICSendMessage(hic, ICM_COMPRESS_QUERY, reinterpret_cast<DWORD_PTR>(&in),
                          reinterpret_cast<DWORD_PTR>(&out)),
            ICERR_BADFORMAT);
  EXPECT_EQ(ICSendMessage(hic, ICM_COMPRESS_GET_FORMAT, 0, 0), ICERR_UNSUPPORTED);
  EXPECT_EQ(ICClose(hic), ICERR_OK);
}

// The grabber sends its queries even when ICOpen failed: a null, closed or
// invented handle is refused, never followed.
TEST(CompressorManagerTest, BadHandlesAreRefused) {
  BITMAPINFOHEADER h = dib_header(640, 480, 24);
  DWORD_PTR format = reinterpret_cast<DWORD_PTR>(&h);
  EXPECT_EQ(ICSendMessage(nullptr, ICM_COMPRESS_QUERY, format, 0), ICERR_BADHANDLE);
  HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('x', '2', '6', '4'), ICMODE_QUERY);
  ASSERT_EQ(ICClose(hic), ICERR_OK);
  EXPECT_EQ(ICSendMessage(hic, ICM_COMPRESS_QUERY, format, 0), ICERR_BADHANDLE);
  EXPECT_EQ(ICClose(hic), ICERR_BADHANDLE);
  ICINFO info{};
  EXPECT_EQ(ICGetInfo(hic, &info, sizeof info), 0);
  EXPECT_EQ(ICGetInfo(nullptr, &info, sizeof info), 0);
  EXPECT_EQ(info.dwSize, 0u);
  EXPECT_EQ(ICClose(nullptr), ICERR_BADHANDLE);
  EXPECT_EQ(ICSendMessage(reinterpret_cast<HIC>(&info), ICM_COMPRESS_QUERY, format, 0), ICERR_BADHANDLE);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The lookup finds the x264 compressor on the real layer and leaves its two
// settings in the store file, where the compressor then reads them.
TEST(CompressorManagerTest, FindCompressorFindsX264AndStoresItsSettings) {
  PrivateSettings settings;
  set_x264_dword("encoding_type", 4);
  set_x264_dword("log_level", 3);
  ICINFO info{};
  ASSERT_EQ(FindCompressor(&info), &info);
  EXPECT_EQ(info.fccHandler, mmioFOURCC('x', '2', '6', '4'));
  std::string text = read_file(settings.store_file());
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\GNU\\x264]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"encoding_type\"=dword:00000003\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"log_level\"=dword:00000000\n"), std::string::npos) << text;
}

}  // namespace
