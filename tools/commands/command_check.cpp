// dorvane check: the structure of an image and of its parent chain, one line
// per problem and a summary; with --repair, the repairs that need no guess
// about data, after keeping what they overwrite in an undo file; with
// --undo, that file put back. Exit status 0 when clean, 1 when everything
// found was repaired, 2 when problems remain, 3 when the check could not be
// made (an error line names the file).
#include "tools/commands/command_line.h"
#include "tools/commands/progress.h"
#include "tools/disk/errors.h"
#include "tools/image_files/image_check.h"
#include "tools/image_files/open_failure.h"
#include "tools/image_files/repair_undo.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace dorvane {

namespace {

const int kExitRepaired = 1;
const int kExitProblems = 2;
const int kExitError = 3;

std::string JsonReport(const std::string &image, const CheckResult &result) {
  std::string chain, problems, undo;
  for (const std::string &file : result.chain) {
    chain += (chain.empty() ? "" : ", ") + JsonString(file);
  }
  for (const CheckProblem &problem : result.problems) {
    problems += std::string(problems.empty() ? "" : ", ") + "{\"file\": " +
                JsonString(problem.path) + ", \"problem\": " + JsonString(problem.what) +
                ", \"repairable\": " + (problem.repairable ? "true" : "false") +
                ", \"repaired\": " + (problem.repaired ? "true" : "false") + "}";
  }
  for (const auto &[file, undoFile] : result.undoFiles) {
    undo += std::string(undo.empty() ? "" : ", ") + "{\"file\": " + JsonString(file) +
            ", \"undo_file\": " + JsonString(undoFile) + "}";
  }
  return "{\"image\": " + JsonString(image) + ", \"chain\": [" + chain + "], \"problems\": [" +
         problems + "], \"repaired\": " + std::to_string(result.Repaired()) +
         ", \"remaining\": " + std::to_string(result.Remaining()) + ", \"undo\": [" + undo +
         "]}\n";
}

// Where each repaired file keeps what its repair overwrote.
std::string UndoLines(const CheckResult &result) {
  std::string text;
  for (const auto &[file, undoFile] : result.undoFiles) {
    text += file + ": what the repair overwrote is kept in " + undoFile +
            "; dorvane check --undo " +
            (undoFile == DefaultUndoFile(file) ? "" : "--undo-file " + undoFile + " ") + file +
            " puts it back\n";
  }
  return text;
}

std::string TextReport(const std::string &image, const CheckResult &result, bool repair) {
  std::string text;
  for (const CheckProblem &problem : result.problems) {
    std::string state = problem.repaired    ? " (repaired)"
                        : problem.repairable ? (repair ? " (not repaired)" : " (--repair fixes it)")
                                             : "";
    text += problem.path + ": " + problem.what + state + "\n";
  }
  text += UndoLines(result);
  std::string files = std::to_string(result.chain.size()) +
                      (result.chain.size() == 1 ? " file checked" : " files checked");
  if (result.problems.empty()) {
    return text + image + ": clean (" + files + ")\n";
  }
  return text + image + ": " + std::to_string(result.problems.size()) + " problem" +
         (result.problems.size() == 1 ? "" : "s") + ", " + std::to_string(result.Repaired()) +
         " repaired, " + std::to_string(result.Remaining()) + " remaining (" + files + ")\n";
}

// The error line of a check that could not be made.
int ReportCheckError(const CommandCall &call, const char *what, const InspectFailure &why,
                     NTSTATUS status) {
  const std::string &image = call.Image();
  if (status != STATUS_SUCCESS) {
    ReportOpenFailure(call.io.err, image, what, why, status);
  } else {
    ReportError(call.io.err, image, what,
                (why.path == image ? "" : "in the parent chain, " + why.path + ": ") + why.what);
  }
  return kExitError;
}

int RunUndo(const CommandCall &call, const std::string &undoFile) {
  const std::string &image = call.Image();
  ImageFile file;
  std::string why = file.Open(image, ImageFileAccess::kRepair);
  if (!why.empty()) {
    return ReportCheckError(call, "cannot undo the repair", {image, why}, file.status());
  }
  UndoOutcome outcome = UndoRepair(undoFile, &file);
  if (!outcome.error.empty()) {
    return ReportCheckError(call, "cannot undo the repair", {image, outcome.error},
                            STATUS_SUCCESS);
  }
  return WriteText(call.io.out, image + ": the repair is undone: " +
                                    std::to_string(outcome.bytes) + " bytes put back at " +
                                    std::to_string(outcome.places) +
                                    (outcome.places == 1 ? " place; " : " places; ") + undoFile +
                                    " is removed\n")
             ? 0
             : kExitError;
}

}  // namespace

int RunCheck(const CommandCall &call) {
  const std::string &image = call.Image();
  CheckOptions options;
  options.repair = call.args.Has("--repair");
  options.undoFile = call.args.Value("--undo-file");
  if (call.args.Has("--undo-file") && options.undoFile.empty()) {
    return call.UsageError("--undo-file needs a file name");
  }
  if (call.args.Has("--undo")) {
    if (options.repair || call.args.Has("--json")) {
      return call.UsageError("--undo does not go with --repair or --json");
    }
    return RunUndo(call, options.undoFile.empty() ? DefaultUndoFile(image) : options.undoFile);
  }
  if (call.args.Has("--undo-file") && !options.repair) {
    return call.UsageError("--undo-file goes with --repair or --undo");
  }
  // A progress line for each file with many blocks, on a terminal.
  std::unique_ptr<Progress> progress;
  options.progress = [&](uint64_t done, uint64_t total) {
    if (done == 0) {
      progress = std::make_unique<Progress>(call.io.err, "checking blocks", total,
                                            Progress::Unit::Blocks);
    }
    progress->Update(done);
  };
  CheckResult result = CheckImageChain(image, options);
  progress.reset();
  if (result.error) {
    // Files of the chain repaired before the one that stopped the repair.
    WriteText(call.io.out, UndoLines(result));
    return ReportCheckError(call, options.repair ? "cannot repair image" : "cannot check image",
                            result.error, result.errorStatus);
  }
  std::string text = call.args.Has("--json") ? JsonReport(image, result)
                                             : TextReport(image, result, options.repair);
  if (!WriteText(call.io.out, text)) {
    ReportError(call.io.err, image, "cannot write to standard output", std::strerror(errno));
    return kExitError;
  }
  if (result.problems.empty()) {
    return 0;
  }
  return result.Remaining() == 0 ? kExitRepaired : kExitProblems;
}

}  // namespace dorvane
