#include "keelbox/uv/uv.hpp"

#include <exception>
#include <filesystem>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/process/process.hpp"
#include "keelbox/system/system.hpp"
#include "keelbox/text/notation.hpp"

namespace keelbox {

namespace fs = std::filesystem;

std::string _find_uv_bin(const Context& context) {
  const fs::path uv = context.installation_dir / (runs_on_windows() ? "uv.exe" : "uv");
  std::error_code ec;
  if (!fs::is_regular_file(uv, ec)) throw FileNotFoundError("uv not found: " + path_to_utf8(uv));
  return path_to_utf8(uv);
}

CompletedProcess run_uv_in_python(const Context& context, const std::vector<std::string>& args,
                                  bool capture_output) {
  const std::string uv = _find_uv_bin(context);
  const Environment env = _set_venv_environment(context);
  ProcessOptions options;
  if (capture_output) options = ProcessOptions::capture_both();
  ProcessResult result = context.runner.run(path_from_utf8(uv), args, env, options);

  CompletedProcess completed;
  completed.args.push_back(uv);
  completed.args.insert(completed.args.end(), args.begin(), args.end());
  completed.returncode = result.returncode;
  if (result.returncode != 0) {
    try {
      throw CalledProcessError(completed.args, result.returncode);
    } catch (const CalledProcessError&) {
      std::throw_with_nested(KeelboxUVException("Error running uv with " + tuple_notation(args)));
    }
  }
  completed.stdout_ = std::move(result.stdout_);
  completed.stderr_ = std::move(result.stderr_);
  return completed;
}

void run_uv(const Context& context, const std::vector<std::string>& args) {
  const std::string uv = _find_uv_bin(context);
  const Environment env = _set_venv_environment(context);
  context.runner.run(path_from_utf8(uv), args, env, ProcessOptions{});
}

namespace {
std::vector<std::string> sysargs(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}
}  // namespace

void run_uv_from_sysargs(int argc, char** argv) { run_uv(system_context(), sysargs(argc, argv)); }

void run_uv_in_pythonfrom_sysargs(int argc, char** argv) {
  run_uv_in_python(system_context(), sysargs(argc, argv), false);
}

}  // namespace keelbox
