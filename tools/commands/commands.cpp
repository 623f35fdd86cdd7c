// The command line: the command table, global options, the choice of
// subcommand and help.
#include "tools/commands/commands.h"

#include "tools/commands/command_line.h"
#include "tools/commands/manual.h"
#include "tools/disk/errors.h"

#include "tools/disk/driver_handle.h"
#include "tools/disk/kernel_names.h"

namespace dorvane {

const std::vector<OptionDefinition> &GlobalOptions() {
  static const std::vector<OptionDefinition> options = {
      {"--verbose", false, false, "", "Print the driver's debug output on standard error."},
      {"--drive", true, true, "X:=DIR",
       "Make the drive letter X: name the host folder DIR, so that parent locators with that "
       "letter lead there (repeatable; also from DORVANE_DRIVES)."},
  };
  return options;
}

// The command table, in the order of the help.
const std::vector<CommandDef> &Commands() {
  static const std::vector<CommandDef> commands = {
      {"info", "info [--json] IMAGE",
       "Show the image's type, sizes, blocks and parent chain.",
       "Reads the records of the image file and of each parent in turn; it does not open the "
       "disk through the driver.",
       {{"--json", false, false, "", "Print one JSON object instead of the text lines."}}, 1,
       RunInfo},
      {"cat", "cat IMAGE [--offset N] [--length N]",
       "Write the virtual disk's bytes to standard output.",
       "From --offset (default 0) for --length bytes (default: to the end of the disk). A range "
       "that runs past the end of the disk is refused before anything is written.",
       {{"--offset", true, false, "N", "The first byte to read."},
        {"--length", true, false, "N", "How many bytes to read."}},
       1, RunCat},
      {"write", "write IMAGE --offset N [--input FILE]",
       "Write standard input (or FILE) into the virtual disk at byte offset N.",
       "The whole input must fit between the offset and the end of the disk; that is checked "
       "before the first byte is written, so a refused write changes nothing. The image and its "
       "parents are flushed at the end.",
       {{"--offset", true, false, "N", "Where the input's first byte goes."},
        {"--input", true, false, "FILE", "Read FILE instead of standard input (- is standard "
                                         "input)."}},
       1, RunWrite},
      {"create",
       "create --type fixed|dynamic --size SIZE [--block-size SIZE] IMAGE\n"
       "create --parent PARENT IMAGE",
       "Create a new, empty image, or a differencing image of PARENT.",
       "A fixed image holds every byte of its disk; a dynamic image only the blocks written to; "
       "a differencing image only what differs from its parent, which it names by relative and "
       "absolute path. IMAGE must not exist.",
       {{"--type", true, false, "fixed|dynamic", "The kind of image."},
        {"--size", true, false, "SIZE", "The virtual disk's size (whole sectors of 512 bytes)."},
        {"--block-size", true, false, "SIZE",
         "A dynamic image's block size (default 2M, at most 32M)."},
        {"--parent", true, false, "PARENT", "Make a differencing image of PARENT; its size is "
                                            "the parent's."}},
       1, RunCreate},
      {"convert", "convert SOURCE TARGET [--type fixed|dynamic|raw] [--block-size SIZE]",
       "Copy a raw file or an image into a new image or raw file.",
       "SOURCE is read as an image when it holds one (a differencing image reads through its "
       "parent chain, which the copy flattens), else as a raw disk. TARGET must not exist; it is "
       "an image when --type says so or its name ends in .vhd (dynamic unless --type says "
       "fixed), else a raw file. Both sides go through the driver; stretches of zeros are not "
       "written, so a dynamic target holds only the blocks with data and a raw or fixed target "
       "keeps holes there. The target is flushed at the end. A raw source that does not fill "
       "its last sector reads as zeros to the sector's end in an image. A copy that fails or "
       "is interrupted removes its target.",
       {{"--type", true, false, "fixed|dynamic|raw", "The kind of target."},
        {"--block-size", true, false, "SIZE", "A dynamic target's block size (default 2M)."}},
       2, RunConvert},
      {"resize", "resize IMAGE --size SIZE",
       "Grow a fixed or dynamic image's virtual disk to SIZE.",
       "The end of file of the disk is set on its handle; a dynamic disk grows to whole "
       "blocks. Disks never shrink, and differencing images keep their parent's size.",
       {{"--size", true, false, "SIZE", "The new size."}}, 1, RunResize},
      {"flush", "flush IMAGE",
       "Write the image and its parent chain back to the disk (farthest parent first).", "", {},
       1, RunFlush},
      {"zero", "zero IMAGE --offset N --length N",
       "Make N bytes of the virtual disk read as zeros.",
       "A zero-data request: dynamic images give back the blocks the range leaves all zero. "
       "The range must end before the end of the disk; trim reaches the end.",
       {{"--offset", true, false, "N", "The first byte to zero."},
        {"--length", true, false, "N", "How many bytes to zero."}},
       1, RunZero},
      {"trim", "trim IMAGE OFFSET:LENGTH...",
       "Trim ranges of the virtual disk in one file-level trim request.",
       "The ranges read as zeros afterwards; dynamic images give back the blocks left all zero.",
       {}, 1, RunTrim, true},
      {"merge", "merge IMAGE [--levels N] [--blocks-per-request K]",
       "Merge the differencing image IMAGE into its parent; IMAGE is deleted when done.",
       "Ctrl-C stops after the request in progress, leaving a chain that reads the same disk; "
       "run the command again to finish. The receiving image keeps its identity, so every "
       "other differencing image made on it (a sibling of IMAGE) reads the merged data too: "
       "merge only where IMAGE is its only child.",
       {{"--levels", true, false, "N", "Merge into the ancestor N levels down (default 1)."},
        {"--blocks-per-request", true, false, "K", "Blocks merged per request (default 16)."}},
       1, RunMerge},
      {"mount",
       "mount [--read-only] [--foreground] [--name NAME] [-o FUSE_OPTION]... IMAGE MOUNTPOINT",
       "Show the virtual disk as the file MOUNTPOINT/NAME through FUSE.",
       "The command returns once the file can be used, and the disk is served until "
       "fusermount3 -u MOUNTPOINT; it is flushed when it is unmounted. Reads, writes, fsync, a "
       "growing truncate and fallocate --punch-hole (dynamic images give the blocks back) are "
       "requests on one handle on the image. A disk never shrinks (EINVAL); writes past its "
       "end fail with ENOSPC; a part of the image that cannot be read fails its reads with EIO "
       "while the rest stays served.",
       {{"--read-only", false, false, "", "Open the image for reading only; writers get EROFS."},
        {"--foreground", false, false, "", "Serve in the command's own process until "
                                           "unmounted or interrupted."},
        {"--name", true, false, "NAME", "The file's name below MOUNTPOINT (default: disk)."},
        {"-o", true, true, "FUSE_OPTION", "An option for FUSE, such as allow_other."}},
       2, RunMount},
      {"check",
       "check [--repair [--undo-file FILE]] [--json] IMAGE\n"
       "check --undo [--undo-file FILE] IMAGE",
       "Check the structure of the image and its parent chain.",
       "One line per problem and a summary. Exit status 0 when the chain is clean, 1 when "
       "--repair fixed everything it found, 2 when problems remain, 3 when the check could not "
       "be made. Without --repair nothing is written. --repair fixes only what needs no guess "
       "about data: a damaged trailing footer or footer copy rebuilt from the other, an "
       "interrupted growth completed or undone, the bitmaps of dynamic blocks that own their "
       "place, entries naming places past the end of the file, on metadata or on another "
       "block cleared (each named with the data given up), and a file cut behind its last "
       "block. It first keeps what it overwrites in IMAGE.repair-undo (or FILE), which --undo "
       "puts back. Refused while another process writes the image or, for --repair, has it "
       "open.",
       {{"--repair", false, false, "", "Repair what needs no guess about data."},
        {"--json", false, false, "", "Print one JSON object."},
        {"--undo", false, false, "", "Put back what the last repair overwrote."},
        {"--undo-file", true, false, "FILE", "Where the repair keeps what it overwrites."}},
       1, RunCheck},
      {"driver", "driver install [SYS]\ndriver start|stop|remove|status",
       "Install, start, stop or remove the driver's kernel service (Windows).",
       "The driver runs as the kernel service dorvane of the service control manager. These "
       "commands do what sc does:\n\n"
       "  sc create dorvane type= kernel start= demand binPath= SYS\n"
       "  sc start dorvane\n"
       "  sc stop dorvane\n"
       "  sc delete dorvane\n"
       "  sc query dorvane\n\n"
       "install registers the service, started on demand, to load SYS (default: "
       "%SystemRoot%\\System32\\drivers\\dorvane.sys) where it is: nothing is copied, so keep "
       "SYS in a folder only administrators can write. start loads the driver; 64-bit Windows "
       "loads only signed drivers, and a test-signed one only once bcdedit /set testsigning on "
       "has been run and the machine restarted. stop unloads it, waiting up to 30 seconds: the "
       "driver goes once every handle on its disks is closed. remove deletes the service of a "
       "stopped driver and leaves SYS in place. status prints the state (not installed, "
       "stopped, starting, running, stopping) and the binary the service loads. All but status "
       "need an elevated prompt. Each failure names the service and the Win32 error.\n\n"
       "On Linux the driver runs inside every dorvane command, on its host kernel: these "
       "commands only say so.",
       {}, 0, RunDriver, true},
  };
  return commands;
}

namespace {

const CommandDef *FindCommand(const std::string &name) {
  for (const CommandDef &command : Commands()) {
    if (name == command.name) {
      return &command;
    }
  }
  return nullptr;
}

int ProgramUsageError(const CommandIo &io, const std::string &message) {
  WriteText(io.err, "dorvane: " + message + "\nusage: " + kProgramSynopsis +
                        "\n(dorvane --help lists the commands)\n");
  return kExitUsage;
}

// Applies --verbose and --drive. Returns "" or what is wrong with a --drive.
std::string ApplyGlobalOptions(const Arguments &args) {
  for (const std::string &mapping : args.options.count("--drive") != 0
                                        ? args.options.at("--drive")
                                        : std::vector<std::string>()) {
    char letter = mapping.empty() ? '\0' : mapping[0];
    bool isLetter = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
    if (!isLetter || mapping.compare(1, 2, ":=") != 0 || mapping.size() == 3) {
      return "--drive \"" + mapping + "\": expected X:=DIR";
    }
    std::string why = MapDriveLetter(letter, mapping.substr(3));
    if (!why.empty()) {
      return "--drive \"" + mapping + "\": " + why;
    }
  }
  ShowDriverDebugOutput(args.Has("--verbose"));
  return "";
}

bool IsHelp(const std::string &arg) { return arg == "--help" || arg == "-h"; }

}  // namespace

int RunCommand(const std::vector<std::string> &args, const CommandIo &io) {
  // Global options may come before the command and among its own options.
  size_t index = 0;
  std::vector<std::string> leading;
  for (; index < args.size() && args[index].size() > 1 && args[index][0] == '-'; ++index) {
    if (IsHelp(args[index])) {
      return WriteText(io.out, ProgramHelp()) ? 0 : kExitFailure;
    }
    if (args[index] == "--version") {
      return WriteText(io.out, VersionText()) ? 0 : kExitFailure;
    }
    leading.push_back(args[index]);
    if (args[index] == "--drive" && index + 1 < args.size()) {
      leading.push_back(args[++index]);
    }
  }
  if (index == args.size()) {
    return ProgramUsageError(io, "no command given");
  }
  const std::string &name = args[index];
  if (name == "help") {
    const CommandDef *command = index + 1 < args.size() ? FindCommand(args[index + 1]) : nullptr;
    std::string topic = index + 1 < args.size() ? TopicHelp(args[index + 1]) : "";
    if (command == nullptr) {
      return WriteText(io.out, topic.empty() ? ProgramHelp() : topic) ? 0 : kExitFailure;
    }
    return WriteText(io.out, CommandHelp(*command)) ? 0 : kExitFailure;
  }
  const CommandDef *command = FindCommand(name);
  if (command == nullptr) {
    return ProgramUsageError(io, "unknown command \"" + name + "\"");
  }

  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(index) + 1, args.end());
  for (const std::string &arg : rest) {
    if (arg == "--") {
      break;
    }
    if (IsHelp(arg)) {
      return WriteText(io.out, CommandHelp(*command)) ? 0 : kExitFailure;
    }
  }
  Arguments parsed;
  Arguments globals;
  const CommandCall call{*command, parsed, io};
  std::vector<OptionDefinition> definitions = command->options;
  definitions.insert(definitions.end(), GlobalOptions().begin(), GlobalOptions().end());
  std::string error = ParseArguments(leading, GlobalOptions(), &globals);
  if (!error.empty()) {
    return ProgramUsageError(io, error);
  }
  error = ParseArguments(rest, definitions, &parsed);
  if (!error.empty()) {
    return call.UsageError(error);
  }
  for (const auto &option : globals.options) {
    auto &values = parsed.options[option.first];
    values.insert(values.begin(), option.second.begin(), option.second.end());
  }
  if (parsed.options.count("--verbose") != 0 && parsed.options["--verbose"].size() > 1) {
    parsed.options["--verbose"].resize(1);
  }
  if (parsed.positional.size() < command->positionalCount ||
      (parsed.positional.size() > command->positionalCount && !command->morePositional)) {
    return call.UsageError(parsed.positional.size() < command->positionalCount
                               ? "missing IMAGE"
                               : "unexpected argument \"" +
                                     parsed.positional[command->positionalCount] + "\"");
  }
  error = ApplyGlobalOptions(parsed);
  if (!error.empty()) {
    return call.UsageError(error);
  }
  return command->run(call);
}

int RunCommand(int argc, char **argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(argv[i]);
  }
  return RunCommand(args, CommandIo());
}

}  // namespace dorvane
