// Removing a folder tree through folder descriptors, by one thread and by
// two: the same result, and a link is never followed.
#include "keelbox/platform/remove_tree_posix.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "keelbox/platform/io.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;

class RemoveTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "keelbox-remove-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "outside" / "sub");
    write(root_ / "outside" / "kept.txt");
    write(root_ / "outside" / "sub" / "kept.txt");
    parent_ = FileDescriptor(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(parent_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
  }

  static void write(const fs::path& file) { std::ofstream(file) << "text\n"; }

  // The outside folder, which no removal may reach, as it was made.
  void expect_outside_untouched() const {
    EXPECT_TRUE(fs::exists(root_ / "outside" / "kept.txt"));
    EXPECT_TRUE(fs::exists(root_ / "outside" / "sub" / "kept.txt"));
  }

  fs::path root_;
  FileDescriptor parent_;
};

struct Shape {
  const char* name;
  std::function<void(const fs::path& tree, const fs::path& outside)> make;
};

// Trees the extraction leaves behind, and some it never would.
const Shape SHAPES[] = {
    {"a single file", [](const fs::path& tree, const fs::path&) { std::ofstream(tree) << "x"; }},
    {"an empty folder", [](const fs::path& tree, const fs::path&) { fs::create_directory(tree); }},
    {"wide: folders of folders of files",
     [](const fs::path& tree, const fs::path&) {
       for (int part = 0; part < 3; ++part) {
         for (int group = 0; group < 12; ++group) {
           const fs::path folder = tree / "examples" / ("part" + std::to_string(part)) /
                                   ("group" + std::to_string(group));
           fs::create_directories(folder);
           for (int file = 0; file < 2; ++file) {
             std::ofstream(folder / ("file" + std::to_string(file) + ".txt")) << "x";
           }
         }
       }
       std::ofstream(tree / "top.txt") << "x";
     }},
    {"a chain deeper than the levels shared out",
     [](const fs::path& tree, const fs::path&) {
       fs::path folder = tree;
       for (int depth = 0; depth < 12; ++depth) {
         folder /= "d" + std::to_string(depth);
         fs::create_directories(folder);
         std::ofstream(folder / "f.txt") << "x";
       }
       for (int branch = 0; branch < 33; ++branch) {
         fs::create_directories(tree / "d0" / ("b" + std::to_string(branch)) / "leaf");
       }
     }},
    {"links out of the tree, to folders and files, at every level",
     [](const fs::path& tree, const fs::path& outside) {
       fs::create_directories(tree / "a" / "b");
       for (int i = 0; i < 33; ++i) fs::create_directories(tree / "a" / ("m" + std::to_string(i)));
       fs::create_directory_symlink(outside, tree / "to-folder");
       fs::create_directory_symlink(outside, tree / "a" / "to-folder");
       fs::create_directory_symlink(outside / "sub", tree / "a" / "m3" / "to-sub");
       fs::create_symlink(outside / "kept.txt", tree / "a" / "b" / "to-file");
       fs::create_symlink("../../outside", tree / "a" / "m7" / "relative");
       fs::create_hard_link(outside / "kept.txt", tree / "a" / "m9" / "hard");
     }},
    {"a read-only file and folder, and a fifo",
     [](const fs::path& tree, const fs::path&) {
       fs::create_directories(tree / "read-only" / "inner");
       std::ofstream(tree / "read-only" / "inner" / "f.txt") << "x";
       fs::permissions(tree / "read-only" / "inner" / "f.txt", fs::perms::owner_read);
       fs::permissions(tree / "read-only",
                       fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);
       ::mkfifo((tree / "pipe").c_str(), 0600);
     }},
};

TEST_F(RemoveTreeTest, EveryShapeGoesWithoutFollowingALink) {
  for (const Shape& shape : SHAPES) {
    for (const bool parallel : {false, true}) {
      SCOPED_TRACE(std::string(shape.name) + (parallel ? ", two threads" : ", one thread"));
      const fs::path tree = root_ / "tree";
      shape.make(tree, root_ / "outside");
      const bool gone = parallel ? remove_tree_at_in_parallel(parent_.get(), "tree")
                                 : remove_tree_at(parent_.get(), "tree");
      EXPECT_TRUE(gone);
      EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
      expect_outside_untouched();
    }
  }
}

// Root acting as another user (the owner of everything below `root`) while
// this lives; any other user stays as it is.
class AsOwnerOf {
 public:
  explicit AsOwnerOf(const fs::path& root) {
    if (::geteuid() != 0) return;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      EXPECT_EQ(::lchown(entry.path().c_str(), OTHER, OTHER), 0);
    }
    EXPECT_EQ(::lchown(root.c_str(), OTHER, OTHER), 0);
    EXPECT_EQ(::setegid(OTHER), 0);
    EXPECT_EQ(::seteuid(OTHER), 0);
    acting_ = true;
  }
  AsOwnerOf(const AsOwnerOf&) = delete;
  AsOwnerOf& operator=(const AsOwnerOf&) = delete;
  ~AsOwnerOf() { back(); }
  void back() {
    if (!acting_) return;
    acting_ = false;
    EXPECT_EQ(::seteuid(0), 0);
    EXPECT_EQ(::setegid(0), 0);
  }

 private:
  static constexpr uid_t OTHER = 65534;
  bool acting_ = false;
};

// What cannot be removed is left with its folders, the rest goes, and the
// answer says so.
TEST_F(RemoveTreeTest, WhatCannotGoIsLeftAndSaidSo) {
  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "two threads" : "one thread");
    const fs::path tree = root_ / "tree";
    for (int i = 0; i < 33; ++i) {
      fs::create_directories(tree / "wide" / ("f" + std::to_string(i)));
      write(tree / "wide" / ("f" + std::to_string(i)) / "x.txt");
    }
    fs::create_directories(tree / "wide" / "f5" / "stuck");
    write(tree / "wide" / "f5" / "stuck" / "x.txt");
    fs::permissions(tree / "wide" / "f5" / "stuck", fs::perms::owner_read | fs::perms::owner_exec);
    // Root removes from a folder it may not write to: the removal runs as
    // another user then, who owns the tree.
    AsOwnerOf user(root_);
    const bool gone = parallel ? remove_tree_at_in_parallel(parent_.get(), "tree")
                               : remove_tree_at(parent_.get(), "tree");
    user.back();
    EXPECT_FALSE(gone);
    EXPECT_TRUE(fs::exists(tree / "wide" / "f5" / "stuck" / "x.txt"));
    EXPECT_FALSE(fs::exists(tree / "wide" / "f4"));
    fs::permissions(tree / "wide" / "f5" / "stuck", fs::perms::owner_all);
    fs::remove_all(tree);
  }
}

}  // namespace
}  // namespace keelbox
