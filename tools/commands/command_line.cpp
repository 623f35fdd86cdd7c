// Option parsing, usage lines and size-valued options of the subcommands.
#include "tools/commands/command_line.h"

#include "tools/commands/size_parse.h"
#include "tools/disk/errors.h"

namespace dorvane {

std::vector<std::string> SynopsisLines(const CommandDef &command) {
  std::vector<std::string> lines;
  std::string synopsis = command.synopsis;
  for (size_t start = 0; start <= synopsis.size();) {
    size_t end = synopsis.find('\n', start);
    if (end == std::string::npos) {
      end = synopsis.size();
    }
    lines.push_back(synopsis.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string Arguments::Value(const std::string &name) const {
  auto it = options.find(name);
  return it == options.end() || it->second.empty() ? std::string() : it->second.back();
}

std::string ParseArguments(const std::vector<std::string> &args,
                           const std::vector<OptionDefinition> &definitions, Arguments *out) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      out->positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    size_t equals = arg.find('=');
    std::string name = arg.substr(0, equals);
    const OptionDefinition *definition = nullptr;
    for (const OptionDefinition &candidate : definitions) {
      if (candidate.name == name) {
        definition = &candidate;
      }
    }
    if (definition == nullptr) {
      return "unknown option " + name;
    }
    if (out->Has(name) && !definition->repeatable) {
      return name + " given more than once";
    }
    std::string value;
    if (definition->takesValue) {
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return name + " needs a value";
      }
    } else if (equals != std::string::npos) {
      return name + " takes no value";
    }
    out->options[name].push_back(value);
  }
  return "";
}

std::string CommandUsage(const CommandDef &command) {
  std::string text;
  for (const std::string &line : SynopsisLines(command)) {
    text += (text.empty() ? "usage: dorvane " : "       dorvane ") + line + "\n";
  }
  return text;
}

int CommandCall::UsageError(const std::string &message) const {
  WriteText(io.err, std::string("dorvane ") + command.name + ": " + message + "\n" +
                        CommandUsage(command));
  return kExitUsage;
}

bool CommandCall::SizeOption(const std::string &name, uint64_t *value) const {
  if (!args.Has(name)) {
    return true;
  }
  std::string error = ParseSize(args.Value(name), value);
  if (!error.empty()) {
    UsageError(name + ": " + error);
    return false;
  }
  return true;
}

bool CommandCall::RequiredSizeOption(const std::string &name, uint64_t *value) const {
  if (!args.Has(name)) {
    UsageError(name + " is required");
    return false;
  }
  return SizeOption(name, value);
}

}  // namespace dorvane
