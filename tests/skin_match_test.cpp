// Looking a stored skin path up in a mod folder's files: the four answers, the file named,
// and the skin files no path uses.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "folder/skin_match.h"

namespace fmskins {
namespace {

const std::vector<std::string> mod_files{"mymod/models/mymod/skin.m8",
                                         "mymod/models/Ogre/Skin2.m8",
                                         "mymod/readme.txt",
                                         "other/skin.m8",
                                         "spare/unused.M8",
                                         "x.m8",
                                         "notes.m8.txt",
                                         "mymod/models/mymod/skin.m8.bak"};

TEST(SkinMatch, FourAnswersNamingTheFileFound) {
  const FolderIndex folder = make_folder_index(mod_files);
  const std::tuple<std::string, SkinFound, std::string> rows[] = {
      {"models/mymod/skin.m8", SkinFound::yes, "mymod/models/mymod/skin.m8"},
      {"mymod/models/mymod/skin.m8", SkinFound::yes, "mymod/models/mymod/skin.m8"},
      {"/models/mymod/skin.m8", SkinFound::yes, "mymod/models/mymod/skin.m8"},
      {"skin.m8", SkinFound::yes, "mymod/models/mymod/skin.m8"},  // the first that serves it
      {"x.m8", SkinFound::yes, "x.m8"},
      {"models/ogre/skin2.m8", SkinFound::other_case, "mymod/models/Ogre/Skin2.m8"},
      {"models\\Ogre\\Skin2.m8", SkinFound::backslashes, "mymod/models/Ogre/Skin2.m8"},
      {"MODELS\\ogre\\skin2.M8", SkinFound::backslashes, "mymod/models/Ogre/Skin2.m8"},
      {"\\x.m8", SkinFound::backslashes, "x.m8"},
      {"els/mymod/skin.m8", SkinFound::no, ""},  // part of a component is no component
      {"models/mymod", SkinFound::no, ""},       // a folder is no file
      {"skin.m8.", SkinFound::no, ""},
      {"", SkinFound::no, ""},
      {"/", SkinFound::no, ""},
      {"mymod/models/mymod/skin.m8/", SkinFound::no, ""},
  };
  for (const auto& [stored, found, file] : rows) {
    const SkinMatch match = find_skin(folder, stored);
    EXPECT_EQ(match.found, found) << stored;
    EXPECT_EQ(match.found == SkinFound::no ? "" : folder.files[match.file], file) << stored;
  }
  EXPECT_STREQ(found_text(SkinFound::other_case), "other case");
  EXPECT_STREQ(found_text(SkinFound::backslashes), "backslashes");
}

TEST(SkinMatch, UnusedSkinFilesHaveAStoredPathsExtensionAndServeNoPath) {
  const FolderIndex folder = make_folder_index(mod_files);
  // Every file a path serves is used, in any of the ways, not only the one named first.
  std::vector<std::size_t> unused =
      unused_skin_files(folder, {"skin.m8", "MODELS\\OGRE\\skin2.m8"});
  EXPECT_EQ(unused, (std::vector<std::size_t>{4, 5}));
  unused = unused_skin_files(folder, {"models/mymod/skin.m8", "a/b.TXT"});
  EXPECT_EQ(unused, (std::vector<std::size_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(unused_skin_files(folder, {}).empty());
  EXPECT_TRUE(unused_skin_files(folder, {"no_extension"}).empty());
}

}  // namespace
}  // namespace fmskins
