// The programs the tool starts, as the simulated machine runs them: the command interpreter, the
// installer and the registry editor.
#include "sim/outside_programs.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/text/text.h"
#include "sim/events.h"

namespace sim {

using namespace platform::text;

namespace {

// What the tool passes, as the programs see it.
std::string U8(std::u16string_view text) {
  return Utf16ToUtf8Lossy(text);
}

// Arguments split at blanks; a quoted part keeps its blanks and loses its quotes.
std::vector<std::u16string> SplitArguments(std::u16string_view text) {
  std::vector<std::u16string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsBlank(text[i]))
      ++i;
    if (i >= text.size())
      break;
    std::u16string arg;
    bool quoted = false;
    for (; i < text.size() && (quoted || !IsBlank(text[i])); ++i) {
      if (text[i] == u'"')
        quoted = !quoted;
      else
        arg.push_back(text[i]);
    }
    out.push_back(std::move(arg));
  }
  return out;
}

bool IsSwitch(const std::u16string& arg, char16_t letter) {
  return arg.size() == 2 && (arg[0] == u'/' || arg[0] == u'-') && FoldUnit(arg[1]) == letter;
}

// The argument that follows the switch /letter (or -letter), if any.
std::optional<std::string> ArgumentAfterSwitch(std::u16string_view arguments, char16_t letter) {
  const std::vector<std::u16string> args = SplitArguments(arguments);
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (IsSwitch(args[i], letter))
      return U8(args[i + 1]);
  }
  return std::nullopt;
}

bool IsMetaCharacter(char16_t c) {
  return std::u16string_view(u"&<>()@^|").find(c) != std::u16string_view::npos;
}

}  // namespace

std::u16string StripOuterQuotes(RunState& sim, std::u16string text) {
  if (text.empty() || text[0] != u'"')
    return text;
  const std::size_t quotes = static_cast<std::size_t>(std::count(text.begin(), text.end(), u'"'));
  if (quotes == 2) {
    const std::u16string_view inside = std::u16string_view(text).substr(1, text.find(u'"', 1) - 1);
    if (std::none_of(inside.begin(), inside.end(), IsMetaCharacter) &&
        std::any_of(inside.begin(), inside.end(), IsBlank) && sim.IsFile(PathKey(U8(inside))))
      return text;
  }
  text.erase(0, 1);
  const std::size_t last = text.rfind(u'"');
  if (last != std::u16string::npos)
    text.erase(last, 1);
  return text;
}

namespace {

std::optional<std::string> EnvironmentValue(const RunState& sim, const std::string& name) {
  for (const auto& [key, value] : sim.machine.environment) {
    if (EqualNoCase(key, name))
      return value;
  }
  return std::nullopt;
}

// %NAME% from the environment, as on a command line: an undefined name stays as written, and its
// closing % may open the next name; %% is not special.
std::u16string ExpandVariables(const RunState& sim, std::u16string_view text) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t open = text.find(u'%', i);
    const std::size_t close = open == std::u16string_view::npos ? open : text.find(u'%', open + 1);
    if (close == std::u16string_view::npos)
      break;
    out.append(text.substr(i, open - i));
    const std::u16string_view name = text.substr(open + 1, close - open - 1);
    const std::optional<std::string> value =
        name.empty() ? std::nullopt : EnvironmentValue(sim, U8(name));
    out += value ? Utf8ToUtf16(*value) : u"%" + std::u16string(name);
    i = value ? close + 1 : close;
  }
  out.append(text.substr(std::min(i, text.size())));
  return out;
}

enum class Joint { kAlways, kIfOk, kIfFailed };  // &, | or the first; &&; ||

struct Command {
  Joint joint = Joint::kAlways;
  std::u16string text;
};

// The commands of a line, split at &, &&, || and | outside quotes; ^ escapes the next character.
std::vector<Command> SplitCommands(std::u16string_view line) {
  std::vector<Command> out(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char16_t c = line[i];
    if (c == u'"')
      quoted = !quoted;
    if (quoted || (c != u'&' && c != u'|') || (i > 0 && line[i - 1] == u'^')) {
      out.back().text.push_back(c);
      continue;
    }
    const bool doubled = i + 1 < line.size() && line[i + 1] == c;
    out.push_back({!doubled ? Joint::kAlways : c == u'&' ? Joint::kIfOk : Joint::kIfFailed, {}});
    i += doubled ? 1 : 0;
  }
  return out;
}

// The program a command names: the quoted part at its start, or the text up to a blank or one
// of the interpreter's special characters.
std::u16string ProgramOf(std::u16string_view command) {
  std::size_t i = command.find_first_not_of(u" \t@");
  if (i == std::u16string_view::npos)
    return {};
  if (command[i] == u'"') {
    const std::size_t close = command.find(u'"', i + 1);
    return std::u16string(command.substr(
        i + 1, close == std::u16string_view::npos ? std::u16string_view::npos : close - i - 1));
  }
  std::u16string program;
  for (; i < command.size() && !IsBlank(command[i]); ++i) {
    if (command[i] == u'^' && i + 1 < command.size())
      program.push_back(command[++i]);
    else if (IsMetaCharacter(command[i]))
      break;
    else
      program.push_back(command[i]);
  }
  return program;
}

bool IsBuiltIn(const std::string& program) {
  static const std::set<std::string> kBuiltIns = {
      "ASSOC", "CD",       "CHDIR", "CLS",   "COLOR", "COPY",  "DATE", "DEL",    "DIR",
      "ECHO",  "ERASE",    "EXIT",  "FOR",   "GOTO",  "IF",    "MD",   "MKDIR",  "MOVE",
      "PATH",  "PAUSE",    "POPD",  "PUSHD", "RD",    "REM",   "REN",  "RENAME", "RMDIR",
      "SET",   "SETLOCAL", "SHIFT", "START", "TIME",  "TITLE", "TYPE", "VER",    "VOL"};
  return kBuiltIns.count(FoldUtf8(program)) != 0;
}

// Runs one command; false when it names nothing that can run.
bool RunCommand(RunState& sim, const std::u16string& command) {
  const std::u16string program = ProgramOf(command);
  if (program.empty())
    return true;
  const std::size_t first = command.find_first_not_of(u" \t");
  const std::u16string text = command.substr(first, command.find_last_not_of(u" \t") + 1 - first);
  if (FoldUtf8(U8(program)) == "CALL")  // runs what follows, a script included
    return RunCommand(sim, text.substr(text.find_first_not_of(u"@") + program.size()));
  events::Script fields{.path = U8(program), .runs = true, .command = U8(text)};
  if (IsBuiltIn(U8(program))) {
    fields.builtin = true;
    sim.Emit(kSystemThread, std::move(fields));
    return true;
  }
  const std::string key = PathKey(U8(program));
  const bool runs = sim.IsFile(key);
  fields.runs = runs;
  sim.Emit(kSystemThread, std::move(fields));
  if (!runs)
    return false;
  const std::vector<ProcessDesc> starts = sim.FindEntry(key)->desc.starts;
  for (ProcessDesc desc : starts) {
    const Process* holder = desc.pid != 0 ? sim.FindProcess(desc.pid) : nullptr;
    if (desc.pid == 0 || (holder != nullptr && holder->running()))
      desc.pid = sim.NewPid();
    const Process& started = sim.AddProcess(desc, false);
    sim.Emit(kSystemThread,
             events::ProcessStart{.pid = started.desc.pid, .name = started.desc.name});
  }
  return true;
}

// What `cmd /C` does with its line: outer quotes, then %NAME%, then each command in turn.
void RunInterpreter(RunState& sim, std::u16string_view arguments, std::uint32_t pid) {
  std::size_t at = std::u16string_view::npos;
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == u'/' && FoldUnit(arguments[i + 1]) == u'C' &&
        (i == 0 || IsBlank(arguments[i - 1]))) {
      at = i;
      break;
    }
  }
  if (at != std::u16string_view::npos) {
    std::size_t start = at + 2;
    while (start < arguments.size() && IsBlank(arguments[start]))
      ++start;
    const std::u16string line =
        ExpandVariables(sim, StripOuterQuotes(sim, std::u16string(arguments.substr(start))));
    bool ok = true;
    for (const Command& command : SplitCommands(line)) {
      if ((command.joint == Joint::kIfOk && !ok) || (command.joint == Joint::kIfFailed && ok))
        continue;
      ok = RunCommand(sim, command.text);
    }
  }
  sim.At(sim.now + sim.machine.system.interpreterMs,
         [&sim, pid] { sim.EndProcess(pid, ProcessEnd::kExited); });
}

// A per-machine removal needs elevation, which the installer cannot ask for without its full
// interface: it ends with ERROR_INSTALL_PACKAGE_REJECTED, as forbidden by policy.
constexpr int kInstallPackageRejected = 1625;

void RunInstaller(RunState& sim, std::u16string_view arguments, std::uint32_t pid) {
  const std::optional<std::string> code = ArgumentAfterSwitch(arguments, u'X');
  sim.At(sim.now + sim.machine.system.installerMs, [&sim, pid, code] {
    if (code && !sim.machine.system.administrator) {
      sim.Emit(kSystemThread,
               events::MsiUninstall{
                   .code = *code, .removed = false, .exitCode = kInstallPackageRejected});
    } else if (code) {
      bool removed = false;
      for (Product& p : sim.products) {
        if (!p.removed && EqualNoCase(p.desc.code, *code) && p.desc.removalWorks) {
          p.removed = true;
          p.desc.state = platform::kInstallStateUnknown;
          removed = true;
        }
      }
      sim.Emit(kSystemThread, events::MsiUninstall{.code = *code, .removed = removed});
    }
    sim.EndProcess(pid, ProcessEnd::kExited);
  });
}

}  // namespace

std::vector<RegSetting> ParseRegFile(const std::string& content) {
  std::vector<RegSetting> out;
  std::optional<std::string> section;
  std::size_t start = 0;
  while (start <= content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos)
      end = content.size();
    std::string line = content.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos)
      continue;
    line.erase(0, first);
    if (line.front() == '[' && line.back() == ']') {
      const std::string inner = line.substr(1, line.size() - 2);
      const std::string root = "HKEY_LOCAL_MACHINE\\";
      section.reset();
      if (inner.size() > root.size() && EqualNoCase(inner.substr(0, root.size()), root))
        section = inner.substr(root.size());
      continue;
    }
    if (!section)
      continue;
    std::string name;
    std::size_t i = 0;
    if (line[0] == '@') {
      i = 1;
    } else if (line[0] == '"') {
      for (i = 1; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size())
          ++i;
        name.push_back(line[i]);
      }
      if (i >= line.size())
        continue;
      ++i;
    } else {
      continue;
    }
    const std::string rest = line.substr(i);
    const std::string prefix = "=dword:";
    if (rest.size() <= prefix.size() || rest.size() > prefix.size() + 8 ||
        !EqualNoCase(rest.substr(0, prefix.size()), prefix)) {
      continue;
    }
    const std::string digits = rest.substr(prefix.size());
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      continue;
    out.push_back({*section, name, static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16))});
  }
  return out;
}

namespace {

void RunRegistryEditor(RunState& sim, std::u16string_view arguments, std::uint32_t pid) {
  const std::optional<std::string> file = ArgumentAfterSwitch(arguments, u'S');
  sim.At(sim.now + sim.machine.system.registryEditorMs, [&sim, pid, file] {
    if (file) {
      const File* f = sim.FindEntry(PathKey(*file));
      if (f != nullptr && !f->desc.directory && f->desc.readable) {
        // Without elevation the editor is denied each value under HKEY_LOCAL_MACHINE, says
        // nothing (/s) and goes on.
        const bool allowed = sim.machine.system.administrator;
        for (const RegSetting& s : ParseRegFile(f->desc.content)) {
          events::RegImport fields{.key = s.key, .name = s.name, .value = s.value};
          if (allowed)
            sim.SetDword(s.key, s.name, s.value);
          else
            fields.ok = false;
          sim.Emit(kSystemThread, std::move(fields));
        }
      } else {
        sim.Emit(kSystemThread, events::RegImportFailed{.path = *file});
      }
    }
    sim.EndProcess(pid, ProcessEnd::kExited);
  });
}

}  // namespace

bool RunOutsideProgram(RunState& sim, const std::string& name, std::u16string_view arguments,
                       std::uint32_t pid) {
  const std::string folded = FoldUtf8(name);
  if (folded == "CMD.EXE")
    RunInterpreter(sim, arguments, pid);
  else if (folded == "MSIEXEC.EXE")
    RunInstaller(sim, arguments, pid);
  else if (folded == "REGEDIT.EXE")
    RunRegistryEditor(sim, arguments, pid);
  else
    return false;
  return true;
}

}  // namespace sim
