#include <gtest/gtest.h>

#include "platform/bundle.hpp"
#include "support/test_support.hpp"

namespace zp::platform {
namespace {

using test::infoPlistXml;
using test::toBinaryPlist;

TEST(InfoValue, EveryTypeToldApartInXmlAndBinary) {
  struct Row {
    const char* what;
    std::string entry;  // XML for the ZPPellwynMode entry; empty for none
    PlistType type;
    std::string string;
  };
  const Row rows[] = {
      {"absent", "", PlistType::Absent, ""},
      {"string", "<key>ZPPellwynMode</key><string>connected</string>", PlistType::String, "connected"},
      {"empty string", "<key>ZPPellwynMode</key><string></string>", PlistType::String, ""},
      {"non-ASCII string", "<key>ZPPellwynMode</key><string>预览</string>", PlistType::String, "预览"},
      {"boolean", "<key>ZPPellwynMode</key><true/>", PlistType::Boolean, ""},
      {"integer", "<key>ZPPellwynMode</key><integer>1</integer>", PlistType::Integer, ""},
      {"real", "<key>ZPPellwynMode</key><real>1.5</real>", PlistType::Real, ""},
      {"date", "<key>ZPPellwynMode</key><date>2020-01-01T00:00:00Z</date>", PlistType::Date, ""},
      {"data", "<key>ZPPellwynMode</key><data>AAE=</data>", PlistType::Data, ""},
      {"array", "<key>ZPPellwynMode</key><array><string>connected</string></array>", PlistType::Array, ""},
      {"dictionary", "<key>ZPPellwynMode</key><dict/>", PlistType::Dictionary, ""},
  };
  for (const Row& row : rows) {
    const std::string xml = infoPlistXml(row.entry);
    for (const std::string& bytes : {xml, toBinaryPlist(xml)}) {
      const std::string form = bytes.rfind("bplist", 0) == 0 ? " (binary)" : " (XML)";
      const PlistValue value = infoValueFromBytes(bytes, "ZPPellwynMode");
      EXPECT_EQ(value.type, row.type) << row.what << form;
      EXPECT_EQ(value.string, row.string) << row.what << form;
    }
  }
}

TEST(InfoValue, KeyIsCaseSensitive) {
  EXPECT_EQ(infoValueFromBytes(infoPlistXml("<key>zppellwynmode</key><string>connected</string>"), "ZPPellwynMode").type,
            PlistType::Absent);
}

TEST(InfoValue, WhatIsNotADictionaryIsUnreadable) {
  const std::string notDictionary =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>connected</string></array></plist>";
  const std::string rows[] = {"", "not a plist", "<plist><dict><key>ZPPellwynMode</key>", "bplist00garbage",
                              notDictionary, toBinaryPlist(notDictionary)};
  for (const std::string& bytes : rows) {
    EXPECT_EQ(infoValueFromBytes(bytes, "ZPPellwynMode").type, PlistType::Unreadable) << bytes;
  }
}

TEST(BundleLayout, FromExecutablePath) {
  struct Row {
    const char* executable;
    const char* infoPlist;
    const char* resources;
  };
  const Row rows[] = {
      {"/Apps/Z P.app/Contents/MacOS/ZorvikPellwyn", "/Apps/Z P.app/Contents/Info.plist",
       "/Apps/Z P.app/Contents/Resources"},
      {"/opt/bin/ZorvikPellwyn", "", "/opt/bin"},
      {"/x/Contents/MacOS/ZorvikPellwyn", "", "/x/Contents/MacOS"},
      {"/x/.app/Contents/MacOS/ZorvikPellwyn", "", "/x/.app/Contents/MacOS"},
      {"/x/Z.app/Stuff/MacOS/ZorvikPellwyn", "", "/x/Z.app/Stuff/MacOS"},
  };
  for (const Row& row : rows) {
    const Bundle bundle = Bundle::forExecutable(row.executable);
    EXPECT_EQ(bundle.infoPlistPath(), row.infoPlist) << row.executable;
    EXPECT_EQ(bundle.resourcePath(), row.resources) << row.executable;
  }
}

TEST(BundleLayout, MissingInfoPlistIsEmptyButUnreadableIsNot) {
  test::TempDir dir;
  const auto contents = dir.path() / "Z.app" / "Contents";
  std::filesystem::create_directories(contents / "MacOS");
  const Bundle bundle = Bundle::forExecutable((contents / "MacOS" / "ZorvikPellwyn").string());
  EXPECT_EQ(bundle.infoValue("ZPPellwynMode").type, PlistType::Absent);
  std::filesystem::create_directories(contents / "Info.plist");  // a directory where the file belongs
  EXPECT_EQ(bundle.infoValue("ZPPellwynMode").type, PlistType::Unreadable);
}

}  // namespace
}  // namespace zp::platform
