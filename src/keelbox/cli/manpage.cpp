#include "keelbox/cli/manpage.hpp"

#include <sstream>
#include <vector>

#include "keelbox/cli/command_table.hpp"

namespace keelbox::cli {
namespace {

// Text made safe for roff: backslashes and hyphens escaped, a leading dot or
// apostrophe kept from being read as a request.
std::string roff(std::string_view text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    line_start = c == '\n';
  }
  return out;
}

// The description as roff paragraphs: blank lines separate paragraphs, indented
// lines (examples, argument lists) are kept as they stand.
std::string description_paragraphs(std::string_view description) {
  std::ostringstream out;
  std::istringstream in{std::string(description)};
  std::string line;
  bool in_block = false;
  out << ".PP\n";
  while (std::getline(in, line)) {
    if (line.empty()) {
      if (in_block) out << ".fi\n.RE\n";
      in_block = false;
      out << ".PP\n";
      continue;
    }
    const bool indented = line.rfind("    ", 0) == 0;
    if (indented && !in_block) {
      out << ".RS 4\n.nf\n";
      in_block = true;
    } else if (!indented && in_block) {
      out << ".fi\n.RE\n";
      in_block = false;
    }
    out << roff(indented ? std::string_view(line).substr(4) : std::string_view(line)) << "\n";
  }
  if (in_block) out << ".fi\n.RE\n";
  return out.str();
}

// Text made safe for roff in which words between backquotes are set in bold.
std::string roff_marked(std::string_view text) {
  std::string out;
  bool bold = false;
  std::size_t start = 0;
  for (std::size_t tick = text.find('`'); tick != std::string_view::npos;
       tick = text.find('`', start)) {
    out += roff(text.substr(start, tick - start));
    out += bold ? "\\fR" : "\\fB";
    bold = !bold;
    start = tick + 1;
  }
  out += roff(text.substr(start));
  if (bold) out += "\\fR";
  return out;
}

std::string option_entry(const OptionDef& option) {
  std::ostringstream out;
  out << ".TP\n";
  for (std::size_t i = 0; i < option.names.size(); ++i) {
    if (i) out << ", ";
    out << "\\fB" << roff(option.names[i]) << "\\fR";
  }
  if (!option.metavar.empty()) out << " \\fI" << roff(option.metavar) << "\\fR";
  out << "\n";
  out << roff(option.help.empty() ? option.manual_help : option.help);
  if (!option.envvar.empty()) {
    out << " Read from \\fB" << roff(option.envvar) << "\\fR when not given.";
  }
  if (option.default_value) out << " Default: " << roff(*option.default_value) << ".";
  out << "\n";
  return out.str();
}

}  // namespace

std::string render_manpage(std::string_view version, std::string_view date) {
  const CommandDef& root = root_command();
  std::ostringstream out;
  out << ".TH KEELBOX 1 \"" << date << "\" \"keelbox " << version << "\" \"User Commands\"\n";
  out << ".SH NAME\nkeelbox \\- " << roff(root.description) << "\n";
  out << ".SH SYNOPSIS\n\\fBkeelbox\\fR " << roff(usage_pieces(root)) << "\n";
  for (const CommandDef* command : commands_by_name()) {
    out << ".br\n\\fBkeelbox " << roff(command->name) << "\\fR " << roff(usage_pieces(*command))
        << "\n";
    for (auto name : command->nested) {
      if (const CommandDef* nested = find_command(name)) {
        out << ".br\n\\fBkeelbox " << roff(command->name) << " " << roff(nested->name) << "\\fR "
            << roff(usage_pieces(*nested)) << "\n";
      }
    }
  }
  out << ".SH DESCRIPTION\n" << description_paragraphs(root.description);
  out << ".SH OPTIONS\n";
  for (const auto& option : root.options) out << option_entry(option);
  out << ".SH COMMANDS\n";
  for (const CommandDef* command : commands_by_name()) {
    out << ".SS \"keelbox " << roff(command->name) << " " << roff(usage_pieces(*command)) << "\"\n";
    out << description_paragraphs(command->description);
    out << ".PP\nOptions:\n.RS 4\n";
    for (const auto& option : command->options) out << option_entry(option);
    out << ".RE\n";
  }
  out << ".SH ENVIRONMENT\n";
  for (const CommandDef* command : commands_by_name()) {
    for (const auto& option : command->options) {
      if (option.envvar.empty()) continue;
      out << ".TP\n\\fB" << roff(option.envvar) << "\\fR\n"
          << roff_marked(option.envvar_help) << "\n";
    }
  }
  out << ".TP\n\\fBKEELBOX_TOKEN_ID\\fR, \\fBKEELBOX_TOKEN\\fR\n"
         "When both are set and not empty, the token id and secret of the run: "
         "\\fIkeelbox.toml\\fR is then not read nor written, and "
         "\\fBKEELBOX_CLOUD_ENVIRONMENT\\fR (\"cloud\", or \"dev.cloud\" or \"dev\"; default "
         "cloud) selects the cloud. One without the other is an error. \\fBinit\\fR ignores them.\n"
         ".TP\n\\fBKEELBOX_LOG\\fR\n"
         "\\fBinfo\\fR or \\fBdebug\\fR: a trace on standard error, each line with the time since "
         "the start: the profile used, each request, the access token taken from the cache or "
         "asked for, each program started, each archive unpacked; \\fBdebug\\fR adds the "
         "certificate authorities, the proxy of each host, connections and TLS versions. No "
         "secret is shown: addresses lose their user part and query values, token ids show four "
         "characters.\n"
         ".TP\n\\fBVIRTUAL_ENV\\fR, \\fBCONDA_PREFIX\\fR\n"
         "The target Python environment: the active virtual environment, else the active "
         "conda environment, else the installation keelbox belongs to.\n"
         ".TP\n\\fBXDG_CONFIG_HOME\\fR, \\fBXDG_DATA_HOME\\fR, \\fBXDG_CACHE_HOME\\fR\n"
         "Where the configuration, the examples and the cache are kept.\n"
         ".TP\n\\fBHTTPS_PROXY\\fR, \\fBhttps_proxy\\fR, \\fBNO_PROXY\\fR\n"
         "The proxy for HTTPS requests, and the hosts reached directly.\n"
         ".TP\n\\fBSSL_CERT_FILE\\fR\n"
         "A bundle of certificate authorities to trust instead of the system's.\n"
         ".TP\n\\fBNO_COLOR\\fR\n"
         "When set to a non\\-empty value, no colours are written.\n";
  out << ".SH FILES\n"
         ".TP\n\\fI$XDG_CONFIG_HOME/Keelbox/keelbox.toml\\fR\n"
         "The profile: token id, token secret and cloud environment (owner\\-only).\n"
         ".TP\n\\fI$XDG_CACHE_HOME/Keelbox/cache.sqlite\\fR\n"
         "Access token, entitlements and package list kept between runs (owner\\-only).\n"
         ".TP\n\\fI$XDG_DATA_HOME/Keelbox/examples\\fR\n"
         "The default folder for downloaded examples.\n";
  out << ".SH EXIT STATUS\n"
         ".TP\n0\nSuccess, help, version, or a declined installation.\n"
         ".TP\n1\nAn error was reported, the run was interrupted, or an unexpected failure "
         "occurred.\n"
         ".TP\n2\nThe command line was not understood.\n";
  return out.str();
}

}  // namespace keelbox::cli
