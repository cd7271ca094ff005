#include "keelbox/install_mkl/install_mkl.hpp"

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/install/install.hpp"
#include "keelbox/install_mkl/install_mkl_internal.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/process/process.hpp"
#include "keelbox/system/system.hpp"

namespace keelbox {

namespace fs = std::filesystem;

namespace {

struct LinkLayout {
  fs::path library_dir;
  std::string link_name;
  std::string (*candidate)(int number);
};

std::string posix_candidate(int n) { return "libmkl_rt.so." + std::to_string(n); }
std::string windows_candidate(int n) { return "mkl_rt." + std::to_string(n) + ".dll"; }

// Steps shared by both platforms up to the link itself: nullopt when the link
// already resolves, else the link path and the target name (the lowest
// numbered versioned file present, probed from 5 down to 1).
std::optional<std::pair<fs::path, std::string>> plan_link(const LinkLayout& layout) {
  const fs::path link = layout.library_dir / layout.link_name;
  std::error_code ec;
  if (fs::exists(link, ec)) return std::nullopt;  // follows links: a broken one counts as absent
  std::optional<std::string> target;
  for (int n = 5; n >= 1; --n) {
    std::string name = layout.candidate(n);
    if (fs::exists(layout.library_dir / name, ec)) target = name;
  }
  if (!target) throw FileNotFoundError("MKL RT not found.");
  send_message("Creating symlink " + path_to_utf8(link) + " to " + *target);
  return std::make_pair(link, *target);
}

}  // namespace

bool is_mkl_present(const Context& context) {
  try {
    _run_cmd(context, "python",
             std::vector<std::string>{"-c",
                                      "from importlib.metadata import distribution;"
                                      "distribution('mkl')"},
             ProcessOptions::discard_output());
  } catch (const KeelboxException&) {
    return false;
  }
  return true;
}

void install_mkl(const Context& context) {
  send_message("Installing " + style("MKL", "green") + " via pip.");
  install::install_modules(context, {"mkl"}, /*upgrade=*/true, /*dry_run=*/false, std::nullopt);
}

void _create_mkl_symlinks_posix(const Context& context) {
  const fs::path root = path_from_utf8(detect_virtualenv(context));
  auto plan = plan_link({root / "lib", "libmkl_rt.so", posix_candidate});
  if (!plan) return;
  std::error_code ec;
  fs::create_symlink(plan->second, plan->first, ec);
  if (ec) {
    throw FileSystemError("Cannot create the symbolic link " + path_to_utf8(plan->first) + " -> " +
                          plan->second + ": " + ec.message());
  }
}

void _create_mkl_symlinks_windows(const Context& context) {
  const fs::path root = path_from_utf8(detect_virtualenv(context));
  auto plan = plan_link({root / "Library" / "bin", "mkl_rt.dll", windows_candidate});
  if (!plan) return;
  try {
    create_file_link(plan->second, plan->first);
  } catch (const fs::filesystem_error&) {
    std::throw_with_nested(KeelboxException(
        "Permission denied to create symlink. Please activate `Security Settings\\Local "
        "Policies\\User Rights Assignment\\Create symbolic links`"));
  }
}

void create_mkl_symlinks(const Context& context) {
  if (runs_on_windows()) {
    _create_mkl_symlinks_windows(context);
  } else {
    _create_mkl_symlinks_posix(context);
  }
}

void ensure_mkl_in_environment(const Context& context) {
  const std::string root = detect_virtualenv(context);
  if (!is_mkl_present(context)) {
    send_message("MKL library not found. Installing " + style("MKL", "green") + " via pip.");
    install_mkl(context);
  } else {
    send_message("MKL library already installed / available in " + style(root, "green") + ".");
  }
  create_mkl_symlinks(context);
}

}  // namespace keelbox
