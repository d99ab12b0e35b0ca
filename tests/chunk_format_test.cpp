#include "model/chunk_format.h"

#include <gtest/gtest.h>

#include <vector>

#include "cli/shown_text.h"

#include "support/model_builder.h"

namespace fmskins {
namespace {

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

TEST(LittleEndianFields, DecodeIndependentOfHostOrder) {
  const std::vector<std::uint8_t> image{0x28, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0x7F};
  EXPECT_EQ(read_le32(image, 0), 40);
  EXPECT_EQ(read_le32(image, 4), -1);
  EXPECT_EQ(read_le32(image, 8), 0x12345678);
  EXPECT_EQ(read_le32(image, 12), 0x7FFFFFFF);
  EXPECT_EQ(read_le32(image, 1), static_cast<std::int32_t>(0xFF000000U));
}

TEST(LittleEndianFields, WriteTouchesOnlyItsFourBytes) {
  std::vector<std::uint8_t> image(8, 0xAA);
  write_le32(image, 2, 0x12345678);
  EXPECT_EQ(image, (std::vector<std::uint8_t>{0xAA, 0xAA, 0x78, 0x56, 0x34, 0x12, 0xAA, 0xAA}));
  write_le32(image, 4, -2);
  EXPECT_EQ(read_le32(image, 4), -2);
  EXPECT_EQ(image[4], 0xFE);
  EXPECT_EQ(image[7], 0xFF);
}

TEST(ChunkHeaderDecoding, IdentifierStopsAtNulAndNeverTakesThe32ndByte) {
  const auto full = bytes_of(test::chunk_with_size(std::string(32, 'x'), 1, 40, ""));
  EXPECT_EQ(read_chunk_header(full, 0).identifier, std::string(31, 'x'));

  const auto thirty_one = bytes_of(test::chunk_with_size(std::string(31, 'y'), 1, 40, ""));
  EXPECT_EQ(read_chunk_header(thirty_one, 0).identifier, std::string(31, 'y'));

  const auto nul_inside = bytes_of(test::chunk_with_size(std::string("skin\0junk", 9), 1, 64, ""));
  EXPECT_EQ(read_chunk_header(nul_inside, 0).identifier, "skin");

  const auto empty = bytes_of(test::chunk_with_size("", 1, 64, ""));
  EXPECT_EQ(read_chunk_header(empty, 0).identifier, "");
}

TEST(ChunkHeaderDecoding, VersionAndSizeAtAnyOffset) {
  const std::string prefix = "abc";
  const auto image = bytes_of(prefix + test::chunk_with_size("frames", 7, -1, ""));
  const ChunkHeader header = read_chunk_header(image, prefix.size());
  EXPECT_EQ(header.identifier, "frames");
  EXPECT_EQ(header.version, 7);
  EXPECT_EQ(header.size, -1);
}

TEST(ChunkKinds, ExactCaseSensitiveLookupWithVersionsAndMessages) {
  struct Row {
    const char* identifier;
    std::int32_t version;
    const char* message;
  };
  const Row rows[] = {
      {"header", 2, "Invalid HEADER chunk version number"},
      {"skin", 1, "Invalid SKIN chunk version number"},
      {"st coord", 1, "Invalid ST COORD chunk version number"},
      {"tris", 1, "Invalid TRIS chunk version number"},
      {"frames", 1, "Invalid FRAMES chunk version number"},
      {"glcmds", 1, "Invalid GLCMDS chunk version number"},
      {"mesh nodes", 3, "Invalid MESH NODES chunk version number"},
      {"skeleton", 1, "Invalid SKELETON chunk version number"},
      {"references", 1, "Invalid REFERENCES chunk version number"},
  };
  for (const Row& row : rows) {
    const ChunkKind* kind = find_chunk_kind(row.identifier);
    ASSERT_NE(kind, nullptr) << row.identifier;
    EXPECT_EQ(kind->version, row.version) << row.identifier;
    EXPECT_EQ(kind->bad_version, row.message) << row.identifier;
  }
  EXPECT_EQ(find_chunk_kind("header")->role, ChunkRole::header);
  EXPECT_EQ(find_chunk_kind("skin")->role, ChunkRole::skin);
  EXPECT_EQ(find_chunk_kind("tris")->role, ChunkRole::plain);
  for (const char* unknown : {"SKIN", "Skin", "skin ", "stcoord", "st  coord", "", "mesh_nodes"}) {
    EXPECT_EQ(find_chunk_kind(unknown), nullptr) << unknown;
  }
}

TEST(SkinEntries, TextStopsAtNulOrAfter63Bytes) {
  EXPECT_EQ(skin_entry_text(bytes_of(test::skin_entry("skins/a.m8"))), "skins/a.m8");
  EXPECT_EQ(skin_entry_text(bytes_of(test::skin_entry(std::string(64, 'q')))),
            std::string(63, 'q'));
  EXPECT_EQ(skin_entry_text(bytes_of(test::skin_entry(""))), "");
}

TEST(ModelLayout, HeaderThenOneSkinChunkLiesWhereTheEditingExpects) {
  const auto model = bytes_of(test::header_chunk(1) + test::skin_chunk({"a"}));
  ASSERT_EQ(model.size(), 184U);
  EXPECT_EQ(read_le32(model, 52), 1);
  EXPECT_EQ(read_chunk_header(model, 80).identifier, "skin");
  EXPECT_EQ(read_le32(model, 116), 64);
  EXPECT_EQ(model[120], 'a');
  EXPECT_EQ(model[121], 0);
}

}  // namespace
}  // namespace fmskins

namespace fmskins {
namespace {

TEST(PrintableText, EscapesControlCharactersOnly) {
  EXPECT_EQ(printable_text("C:\\skins\\ogre.m8"), "C:\\skins\\ogre.m8");
  EXPECT_EQ(printable_text("\x1b[31mred\x7f\t\n"), "\\x1B[31mred\\x7F\\x09\\x0A");
  EXPECT_EQ(printable_text("\x01\x1f "), "\\x01\\x1F ");
  EXPECT_EQ(printable_text("\xe9t\xe9\x80\xff"), "\xe9t\xe9\\x80\xff");
  EXPECT_EQ(printable_text("\xc3\xa9\xe2\x82\xac\xc2\xa0\x9d\xc2"),
            "\xc3\xa9\xe2\x82\xac\xc2\xa0\\x9D\xc2");
  // Well-formed sequences at the edges of their ranges pass unchanged; in ill-formed ones (a
  // surrogate, an overlong form, a broken sequence, stray continuation bytes) each byte
  // that could be a C1 control is escaped.
  const std::string well_formed =
      "\xf0\x9f\x98\x80\xef\xbc\x81\xe1\x80\x80\xed\x9f\xbf\xee\xa0\x80\xf4\x8f\xbf\xbf";
  EXPECT_EQ(printable_text(well_formed), well_formed);
  EXPECT_EQ(printable_text("\xed\xa0\x80|\xe0\x80\x80|\xe1\xc0\x80|\x9b\x9b\x9b\x9b"),
            "\xed\xa0\\x80|\xe0\\x80\\x80|\xe1\xc0\\x80|\\x9B\\x9B\\x9B\\x9B");
  // A lead byte at the end of the text is never read past: the byte after it is not the text's.
  EXPECT_EQ(printable_text(std::string_view("\xc2\x85", 1)), "\xc2");
#if defined(_WIN32)
  EXPECT_EQ(printable_text("\xc2\x90x\xc2\x9d"), "\\x90x\\x9D");
#else
  EXPECT_EQ(printable_text("\xc2\x90x\xc2\x9d"), "\\xC2\\x90x\\xC2\\x9D");
#endif
}

}  // namespace
}  // namespace fmskins
