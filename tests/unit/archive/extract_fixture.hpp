#pragma once
// What the extraction's tests share (extract_test.cpp on every system,
// extract_posix_test.cpp on Linux): archives built in memory with
// libarchive's writer, and a fresh folder to unpack them into.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "../support/portable.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox::testing::extract {

namespace fs = std::filesystem;

struct Member {
  std::string name;
  unsigned type = AE_IFREG;
  unsigned perm = 0644;
  std::string data;
  std::string symlink;   // target of a symbolic link
  std::string hardlink;  // target of a hard link
  long uid = -1;
};

inline Member file(std::string name, std::string data = "x", unsigned perm = 0644) {
  return Member{std::move(name), AE_IFREG, perm, std::move(data), "", "", -1};
}
inline Member dir(std::string name, unsigned perm = 0755) {
  return Member{std::move(name), AE_IFDIR, perm, "", "", "", -1};
}
inline Member symlink(std::string name, std::string target) {
  return Member{std::move(name), AE_IFLNK, 0777, "", std::move(target), "", -1};
}
inline Member hardlink(std::string name, std::string target) {
  return Member{std::move(name), AE_IFREG, 0644, "", "", std::move(target), -1};
}
inline Member special(std::string name, unsigned type) {
  return Member{std::move(name), type, 0644, "", "", "", -1};
}

inline la_ssize_t append(archive*, void* out, const void* data, size_t size) {
  static_cast<std::string*>(out)->append(static_cast<const char*>(data), size);
  return static_cast<la_ssize_t>(size);
}

inline std::string tar_gz(const std::vector<Member>& members, int gzip_layers = 1) {
  std::string out;
  archive* a = archive_write_new();
  for (int i = 0; i < gzip_layers; ++i) archive_write_add_filter_gzip(a);
  archive_write_set_format_pax_restricted(a);
  archive_write_set_bytes_in_last_block(a, 1);
  archive_write_open(a, &out, nullptr, append, nullptr);
  for (const Member& m : members) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, m.name.c_str());
    archive_entry_set_filetype(e, m.type);
    archive_entry_set_perm(e, static_cast<mode_t>(m.perm));
    if (m.uid >= 0) {
      archive_entry_set_uid(e, m.uid);
      archive_entry_set_gid(e, m.uid);
    }
    if (!m.symlink.empty()) archive_entry_set_symlink(e, m.symlink.c_str());
    if (!m.hardlink.empty()) archive_entry_set_hardlink(e, m.hardlink.c_str());
    if (m.type == AE_IFCHR || m.type == AE_IFBLK) archive_entry_set_rdev(e, 0x103);  // 1, 3
    archive_entry_set_size(e, static_cast<la_int64_t>(m.data.size()));
    EXPECT_EQ(archive_write_header(a, e), ARCHIVE_OK) << archive_error_string(a);
    if (!m.data.empty()) archive_write_data(a, m.data.data(), m.data.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
  return out;
}

// `data` as one gzip member of its own (level 0 keeps the content readable in it).
// `header`, when given, is the gzip header to write (a name, a CRC-16 of
// the header).
inline std::string gzip(const std::string& data, int level = 6, gz_header* header = nullptr) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  if (header) {
    EXPECT_EQ(deflateSetHeader(&z, header), Z_OK);
  }
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A tar archive written byte by byte, for names libarchive's writer would
// convert by the locale: each member's name and link target are stored as
// given, in a PAX header of its own ("path", "linkpath") when `pax` is set,
// where the ustar header then has the name with every byte beyond ASCII as
// "?" (as Python's tarfile writes it), else in the ustar header alone.
struct RawMember {
  std::string name;
  char type = '0';  // '0' file, '1' hard link, '2' symbolic link
  std::string data;
  std::string link;
};

inline std::string tar_header(const std::string& name, char type, std::size_t size,
                              const std::string& link) {
  std::string block(512, '\0');
  const auto put = [&block](std::size_t at, std::size_t width, const std::string& text) {
    block.replace(at, std::min(width, text.size()), text.substr(0, width));
  };
  const auto octal = [](std::size_t value, int digits) {
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0 && value != 0; --i, value /= 8)
      text[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 8);
    return text;
  };
  put(0, 100, name);
  put(100, 8, octal(0644, 7));
  put(108, 8, octal(0, 7));
  put(116, 8, octal(0, 7));
  put(124, 12, octal(size, 11));
  put(136, 12, octal(0, 11));
  block[156] = type;
  put(157, 100, link);
  put(257, 8,
      std::string("ustar\0"
                  "00",
                  8));
  put(148, 8, "        ");
  unsigned sum = 0;
  for (char c : block) sum += static_cast<unsigned char>(c);
  put(148, 8, octal(sum, 6) + std::string("\0 ", 2));
  return block;
}

inline std::string tar_padded(std::string data) {
  data.resize((data.size() + 511) / 512 * 512, '\0');
  return data;
}

inline std::string raw_tar_gz(const std::vector<RawMember>& members, bool pax) {
  const auto ascii = [](std::string text) {
    for (char& c : text) {
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    }
    return text;
  };
  const auto record = [](const std::string& key, const std::string& value) {
    const std::string body = " " + key + "=" + value + "\n";
    std::size_t length = body.size() + 1;
    while (std::to_string(length).size() + body.size() != length) ++length;
    return std::to_string(length) + body;
  };
  std::string tar;
  for (const RawMember& m : members) {
    if (pax) {
      std::string records = record("path", m.name);
      if (!m.link.empty()) records += record("linkpath", m.link);
      tar += tar_header("PaxHeader/x", 'x', records.size(), "") + tar_padded(records);
    }
    tar += tar_header(pax ? ascii(m.name) : m.name, m.type, m.data.size(),
                      pax ? ascii(m.link) : m.link);
    tar += tar_padded(m.data);
  }
  tar += std::string(1024, '\0');
  return gzip(tar);
}

inline std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// `path` below `folder` as "a/b" on every system.
inline std::string relative_name(const fs::path& path, const fs::path& folder) {
  std::string name = path_to_utf8(path.lexically_relative(folder));
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  return name;
}

// The folder's files (relative name -> content), folders and links left out.
inline std::map<std::string, std::string> files_in(const fs::path& folder) {
  std::map<std::string, std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file() && !entry.is_symlink()) {
      found[relative_name(entry.path(), folder)] = read_file(entry.path());
    }
  }
  return found;
}

inline std::vector<std::string> leftovers(const fs::path& parent) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(parent)) {
    if (entry.path().filename().string().rfind(".keelbox-unpack-", 0) == 0) {
      found.push_back(entry.path().filename().string());
    }
  }
  return found;
}

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = make_temp_dir("keelbox-extract");
    // The package folder sits two levels down so that escapes have room to land.
    dest_ = root_ / "downloads" / "pkg";
    fs::create_directories(root_ / "downloads");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // Everything under the test root that is outside the package folder (the
  // lock file Windows keeps in the parent left out).
  std::vector<std::string> outside_entries() const {
    std::vector<std::string> found;
    for (auto it = fs::recursive_directory_iterator(root_);
         it != fs::recursive_directory_iterator(); ++it) {
      const fs::path& p = it->path();
      if (p == root_ / "downloads" || p == dest_ ||
          p == root_ / "downloads" / ".keelbox-unpack.lock") {
        continue;
      }
      auto rel = p.lexically_relative(dest_);
      if (!rel.empty() && *rel.begin() != "..") {
        if (it->is_symlink()) it.disable_recursion_pending();
        continue;
      }
      found.push_back(relative_name(p, root_));
    }
    return found;
  }

  fs::path root_, dest_;
};

struct RefusedCase {
  const char* label;
  std::vector<Member> members;
  const char* refused;  // the member the error names
};

inline std::vector<RefusedCase> refused_cases() {
  return {
      {"parent name", {file("../x")}, "../x"},
      {"parent inside the name", {dir("a"), file("a/../../x")}, "a/../../x"},
      {"absolute symlink", {symlink("passwd", "/etc/passwd")}, "passwd"},
      {"escaping symlink", {symlink("up", "../..")}, "up"},
      // Each link on the way is harmless alone; followed together they lead out,
      // though the names read as if they stayed inside.
      {"symlink through a chain of links",
       {dir("d"), symlink("d/up", ".."), symlink("d/up/esc", "../x")},
       "d/up/esc"},
      {"file through a chain of links",
       {dir("d/e"), symlink("d/up", ".."), symlink("d/e/l", "../up"), file("d/e/l/../x")},
       "d/e/l/../x"},
      {"hard link outside", {hardlink("h", "../victim")}, "h"},
      {"absolute hard link", {hardlink("h", "/etc/passwd")}, "h"},
      {"climb out of a folder reached through a link to itself",
       {symlink("a", "."), file("a/a/../x")},
       "a/a/../x"},
      {"symlink placed through a link, climbing from where it really lies",
       {symlink("l", "."), symlink("l/m", "../x")},
       "l/m"},
      {"symlink target that normalises to a climb", {symlink("n", "a/../..")}, "n"},
      {"symlink target with doubled slash", {symlink("n", "//etc/passwd")}, "n"},
      {"folder replaced by a link out", {dir("d"), symlink("d", "..")}, "d"},
      {"hard link climbing through a link",
       {dir("s"), symlink("l", "s"), hardlink("h", "l/../../victim")},
       "h"},
      {"hard link to the folder itself", {hardlink("h", ".")}, "h"},
      {"hard link to a member moved away by re-pointing a link on its way",
       {file("a/t/dummy"), dir("b/"), symlink("c", "a/t"), symlink("c/escape", "../../link_here"),
        symlink("c", "b"), hardlink("boom", "c/escape")},
       "boom"},
      {"file in place of the folder itself", {file(".")}, "."},
      {"file in place of the folder itself, by climbing", {dir("a"), file("a/..")}, "a/.."},
      {"link loop", {symlink("l1", "l2"), symlink("l2", "l1"), file("l1/x")}, "l1/x"},
      {"fifo", {special("pipe", AE_IFIFO)}, "pipe"},
      {"character device", {special("null", AE_IFCHR)}, "null"},
      {"block device", {special("disk", AE_IFBLK)}, "disk"},
  };
}

}  // namespace keelbox::testing::extract
