// The help and the manual page from one text. Texts are paragraphs
// separated by blank lines; a paragraph whose lines are indented by two
// spaces is shown as it stands (commands, examples), every other one is
// filled to the width of the help or left to the manual's formatter.
#include "tools/commands/manual.h"

#include <vector>

namespace dorvane {

const char kProgramSynopsis[] =
    "dorvane [--verbose] [--drive X:=DIR]... COMMAND [ARGS]";

namespace {

struct Topic {
  const char *name;   // dorvane help NAME
  const char *title;  // the manual's section
  const char *text;
};

// The topics, in the manual's order; the first comes before the commands.
const Topic kTopics[] = {
    {"description", "DESCRIPTION",
     "dorvane reaches the virtual disks of VHD images (fixed, dynamic and differencing) "
     "through the Dorvane driver, the same code that serves them on Windows, running on a "
     "host kernel of its own. Every command that touches a virtual disk opens the image "
     "through the driver and moves its bytes with the driver's requests; info and check read "
     "the image files' records directly.\n\n"
     "Images are opened by their kernel name: /srv/vm/a.vhd is \\??\\Z:\\srv\\vm\\a.vhd. "
     "Parent locators written on Windows name drive letters; --drive and DORVANE_DRIVES say "
     "where those are on this machine."},
    {"sizes", "SIZES",
     "Sizes and offsets are bytes, optionally followed by K, M, G or T (binary: 1K is 1024). "
     "Images are made with the creator code dorv; readers that take the size of an unknown "
     "creator's image from its geometry (qemu-img does) see such a disk rounded down to whole "
     "cylinders unless told force_size_calc=current_size."},
    {"sharing", "SHARING AND LIMITS",
     "An image open for writing, by a command, a mount, the nbdkit plugin or any other program "
     "on the host kernel, cannot be opened by another one, and nothing writes an image that "
     "another process reads or that is the parent of an open differencing image: the second "
     "open fails with STATUS_SHARING_VIOLATION, as on NTFS, and the command names the file in "
     "use. A mount or an NBD export holds its image for as long as it serves it.\n\n"
     "The driver refuses, with STATUS_NOT_SUPPORTED, images that would make it hold more "
     "memory than it gives one image: blocks above 32 MiB, block tables above 4,194,304 "
     "entries, and a parent chain whose tables and buffers pass 128 MiB. Chains are at most "
     "20 images deep."},
    {"nbdkit", "NBDKIT PLUGIN",
     "The package installs a plugin for nbdkit, which serves an image's virtual disk over NBD "
     "to QEMU, qemu-img, nbdcopy, nbdfuse and remote machines:\n\n"
     "  nbdkit dorvane image=IMAGE [readonly=true]\n\n"
     "From a build tree, name the plugin by its path: nbdkit BUILD/nbdkit-dorvane-plugin.so "
     "image=IMAGE. The image is opened once, before the server starts, and held until it "
     "stops; an image that cannot be opened keeps nbdkit from starting, with the line naming "
     "the file at fault. readonly=true opens it for reading only (clients cannot write, and "
     "other readers may open it meanwhile); nbdkit's own -r only keeps clients from "
     "writing.\n\n"
     "Every NBD request is a request on that one handle: reads run side by side, writes, "
     "zeroing and flushes one at a time. Flush and FUA are the flush request, for the whole "
     "chain. Trim and zero are the zero-data request (dynamic images give blocks back); where "
     "an image refuses it, as differencing images do, zero writes zeros and trim does nothing "
     "(nbdkit -v says so). Errors reach the client as EIO, ENOSPC, EROFS, EPERM or EBUSY. All "
     "clients share the handle, so one client's flush covers every client's writes."},
    {"exit-status", "EXIT STATUS",
     "0 when the command did what it was asked; 1 when it failed or was interrupted, after "
     "one line on standard error naming the file at fault, what failed and why (a status of "
     "the driver by name and in hex); 2 when the command line is wrong. check exits 0 when "
     "the chain is clean, 1 when --repair fixed everything it found and 2 when problems "
     "remain.\n\n"
     "convert, write, cat to a file, zero, check and merge show their progress on standard "
     "error when it is a terminal. Ctrl-C stops convert, write, cat, zero and merge after the "
     "step in progress and says what was done and what is left."},
    {"environment", "ENVIRONMENT",
     "DORVANE_DRIVES: more drive letters, as C:=/mnt/c;D:=/data. TMPDIR: where write keeps "
     "input of unknown length while it measures it."},
    {"examples", "EXAMPLES",
     "Mount an image and the file system on its disk:\n\n"
     "  dorvane mount disk.vhd /mnt/vm\n"
     "  mount -o loop /mnt/vm/disk /mnt/fs\n"
     "  umount /mnt/fs\n"
     "  fusermount3 -u /mnt/vm\n\n"
     "Take a snapshot, work on it, then keep the changes by merging it into its parent:\n\n"
     "  dorvane create --parent base.vhd snapshot.vhd\n"
     "  dorvane write snapshot.vhd --offset 1M --input patch.bin\n"
     "  dorvane merge snapshot.vhd\n\n"
     "Check an image and its chain after a power loss, and repair it:\n\n"
     "  dorvane check base.vhd\n"
     "  dorvane check --repair base.vhd\n\n"
     "Import a raw disk, and copy a chain out flattened:\n\n"
     "  dorvane convert disk.raw disk.vhd --type dynamic\n"
     "  dorvane convert snapshot.vhd flat.raw\n\n"
     "Serve a chain to QEMU over NBD, and copy its disk with qemu-img:\n\n"
     "  nbdkit -U /tmp/vm.sock dorvane image=snapshot.vhd\n"
     "  qemu-system-x86_64 -drive file=nbd+unix:///?socket=/tmp/vm.sock,format=raw\n"
     "  nbdkit -U - dorvane image=snapshot.vhd readonly=true \\\n"
     "      --run 'qemu-img convert -O raw \"$uri\" disk.raw'"},
};

std::vector<std::string> Paragraphs(const std::string &text) {
  std::vector<std::string> paragraphs;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find("\n\n", start);
    if (end == std::string::npos) {
      end = text.size();
    }
    paragraphs.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return paragraphs;
}

bool IsVerbatim(const std::string &paragraph) { return paragraph.rfind("  ", 0) == 0; }

// A paragraph filled to the help's width, each line indented.
std::string Fill(const std::string &paragraph, size_t indent) {
  const size_t kWidth = 79;
  std::string margin(indent, ' ');
  if (IsVerbatim(paragraph)) {
    std::string text = margin;
    for (char c : paragraph) {
      text += c;
      if (c == '\n') {
        text += margin;
      }
    }
    return text + "\n";
  }
  std::string text, line;
  size_t start = 0;
  while (start < paragraph.size()) {
    size_t end = paragraph.find_first_of(" \n", start);
    if (end == std::string::npos) {
      end = paragraph.size();
    }
    std::string word = paragraph.substr(start, end - start);
    start = end + 1;
    if (word.empty()) {
      continue;
    }
    if (!line.empty() && indent + line.size() + 1 + word.size() > kWidth) {
      text += margin + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return line.empty() ? text : text + margin + line + "\n";
}

std::string FillAll(const std::string &text, size_t indent) {
  std::string filled;
  for (const std::string &paragraph : Paragraphs(text)) {
    filled += (filled.empty() ? "" : "\n") + Fill(paragraph, indent);
  }
  return filled;
}

std::string OptionTerm(const OptionDefinition &option) {
  return option.name + (option.takesValue ? std::string(" ") + option.value : "");
}

std::string OptionsHelp(const std::vector<OptionDefinition> &options) {
  std::string text;
  for (const OptionDefinition &option : options) {
    text += "  " + OptionTerm(option) + "\n" + Fill(option.help, 6);
  }
  return text;
}

// Text for roff: backslashes and hyphens escaped, no line starting as a
// request.
std::string Roff(const std::string &text) {
  std::string escaped;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && (c == '.' || c == '\'')) {
      escaped += "\\&";
    }
    if (c == '\\') {
      escaped += "\\e";
    } else if (c == '-') {
      escaped += "\\-";
    } else {
      escaped += c;
    }
    lineStart = c == '\n';
  }
  return escaped;
}

std::string RoffParagraphs(const std::string &text) {
  std::string roff;
  for (const std::string &paragraph : Paragraphs(text)) {
    if (IsVerbatim(paragraph)) {
      roff += ".PP\n.RS 4\n.nf\n" + Roff(paragraph) + "\n.fi\n.RE\n";
    } else {
      roff += ".PP\n" + Roff(paragraph) + "\n";
    }
  }
  return roff;
}

std::string RoffOptions(const std::vector<OptionDefinition> &options) {
  std::string roff;
  for (const OptionDefinition &option : options) {
    roff += ".TP\n\\fB" + Roff(option.name) + "\\fR" +
            (option.takesValue ? std::string(" \\fI") + Roff(option.value) + "\\fR" : "") + "\n" +
            Roff(option.help) + "\n";
  }
  return roff;
}

const std::vector<OptionDefinition> &ProgramOptions() {
  static const std::vector<OptionDefinition> options = [] {
    std::vector<OptionDefinition> all = GlobalOptions();
    all.push_back({"--help", false, false, "", "Show the help (of a command, after it)."});
    all.push_back({"--version", false, false, "", "Show the version."});
    return all;
  }();
  return options;
}

}  // namespace

std::string ProgramHelp() {
  std::string text = std::string("usage: ") + kProgramSynopsis + "\n\nCommands:\n";
  for (const CommandDef &command : Commands()) {
    for (const std::string &line : SynopsisLines(command)) {
      text += "  dorvane " + line + "\n";
    }
    text += Fill(command.summary, 6);
  }
  text += "\nGlobal options:\n" + OptionsHelp(ProgramOptions()) +
          "\nMore: dorvane help COMMAND, or dorvane help TOPIC for a topic of";
  for (const Topic &topic : kTopics) {
    text += std::string(" ") + topic.name;
  }
  return text + ".\n";
}

std::string CommandHelp(const CommandDef &command) {
  std::string text = CommandUsage(command) + "\n" + FillAll(command.summary, 0);
  if (command.description[0] != '\0') {
    text += "\n" + FillAll(command.description, 0);
  }
  if (!command.options.empty()) {
    text += "\nOptions:\n" + OptionsHelp(command.options);
  }
  return text;
}

std::string TopicHelp(const std::string &name) {
  for (const Topic &topic : kTopics) {
    if (name == topic.name) {
      return std::string(topic.title) + "\n\n" + FillAll(topic.text, 0);
    }
  }
  return "";
}

std::string VersionText() { return std::string("dorvane ") + DORVANE_VERSION + "\n"; }

std::string ManualPage() {
  std::string roff = std::string(".TH DORVANE 1 \"\" \"dorvane ") + DORVANE_VERSION +
                     "\" \"User Commands\"\n"
                     ".SH NAME\n"
                     "dorvane \\- VHD images (fixed, dynamic, differencing) as flat virtual "
                     "disks, through the Dorvane driver\n"
                     ".SH SYNOPSIS\n" +
                     Roff(kProgramSynopsis) + "\n";
  const Topic &description = kTopics[0];
  roff += std::string(".SH ") + description.title + "\n" + RoffParagraphs(description.text);
  roff += ".SH COMMANDS\n";
  for (const CommandDef &command : Commands()) {
    roff += std::string(".SS ") + command.name + "\n.nf\n";
    for (const std::string &line : SynopsisLines(command)) {
      roff += "\\fBdorvane " + Roff(line) + "\\fR\n";
    }
    roff += ".fi\n" + RoffParagraphs(command.summary) + RoffParagraphs(command.description) +
            RoffOptions(command.options);
  }
  roff += ".SH GLOBAL OPTIONS\n" + RoffOptions(ProgramOptions());
  for (const Topic &topic : kTopics) {
    if (&topic != &description) {
      roff += std::string(".SH ") + topic.title + "\n" + RoffParagraphs(topic.text);
    }
  }
  return roff + ".SH SEE ALSO\nnbdkit(1), qemu\\-img(1), fusermount3(1)\n";
}

}  // namespace dorvane
