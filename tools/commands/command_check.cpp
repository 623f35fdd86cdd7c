// dorvane check: the structure of an image and of its parent chain, one line
// per problem and a summary; with --repair, the repairs that need no guess
// about data. Exit status 0 when clean, 1 when everything found was
// repaired, 2 when problems remain.
#include "tools/commands/command_line.h"
#include "tools/commands/progress.h"
#include "tools/disk/errors.h"
#include "tools/image_files/image_check.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace dorvane {

namespace {

const int kExitRepaired = 1;
const int kExitProblems = 2;

std::string JsonReport(const std::string &image, const CheckResult &result) {
  std::string chain, problems;
  for (const std::string &file : result.chain) {
    chain += (chain.empty() ? "" : ", ") + JsonString(file);
  }
  for (const CheckProblem &problem : result.problems) {
    problems += std::string(problems.empty() ? "" : ", ") + "{\"file\": " +
                JsonString(problem.path) + ", \"problem\": " + JsonString(problem.what) +
                ", \"repairable\": " + (problem.repairable ? "true" : "false") +
                ", \"repaired\": " + (problem.repaired ? "true" : "false") + "}";
  }
  return "{\"image\": " + JsonString(image) + ", \"chain\": [" + chain + "], \"problems\": [" +
         problems + "], \"repaired\": " + std::to_string(result.Repaired()) +
         ", \"remaining\": " + std::to_string(result.Remaining()) + "}\n";
}

std::string TextReport(const std::string &image, const CheckResult &result, bool repair) {
  std::string text;
  for (const CheckProblem &problem : result.problems) {
    std::string state = problem.repaired    ? " (repaired)"
                        : problem.repairable ? (repair ? " (not repaired)" : " (--repair fixes it)")
                                             : "";
    text += problem.path + ": " + problem.what + state + "\n";
  }
  std::string files = std::to_string(result.chain.size()) +
                      (result.chain.size() == 1 ? " file checked" : " files checked");
  if (result.problems.empty()) {
    return text + image + ": clean (" + files + ")\n";
  }
  return text + image + ": " + std::to_string(result.problems.size()) + " problem" +
         (result.problems.size() == 1 ? "" : "s") + ", " + std::to_string(result.Repaired()) +
         " repaired, " + std::to_string(result.Remaining()) + " remaining (" + files + ")\n";
}

}  // namespace

int RunCheck(const CommandCall &call) {
  const std::string &image = call.Image();
  bool repair = call.args.Has("--repair");
  // A progress line for each file with many blocks, on a terminal.
  std::unique_ptr<Progress> progress;
  CheckResult result = CheckImageChain(image, repair, [&](uint64_t done, uint64_t total) {
    if (done == 0) {
      progress = std::make_unique<Progress>(call.io.err, "checking blocks", total,
                                            Progress::Unit::Blocks);
    }
    progress->Update(done);
  });
  progress.reset();
  std::string text = call.args.Has("--json") ? JsonReport(image, result)
                                             : TextReport(image, result, repair);
  if (!WriteText(call.io.out, text)) {
    ReportError(call.io.err, image, "cannot write to standard output", std::strerror(errno));
    return kExitProblems;
  }
  if (result.problems.empty()) {
    return 0;
  }
  return result.Remaining() == 0 ? kExitRepaired : kExitProblems;
}

}  // namespace dorvane
