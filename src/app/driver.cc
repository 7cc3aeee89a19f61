// The command-line run: one pass of the pipeline, the report on success and
// exactly one error line on any failure.
#include "app/driver.h"

#include <exception>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "app/pipeline.h"
#include "app/report.h"
#include "orchestration/example_system.h"

namespace Core::App {
namespace {

constexpr std::string_view kErrorPrefix = "deployment example: ";

void deployFile(const std::string& path, const std::string& name,
                const Orchestration::SystemSpec& system, const ResolutionInputs& inputs,
                std::string_view title, std::ostream& out) {
    // One error line is all a refusal prints: the lowering lists no more.
    const PipelineResult result =
        resolvePlacementFile(path, name, system, inputs, nullptr, Placement::IssueScope::first);
    if (const std::optional<std::string> problem = refusal(result)) {
        throw std::runtime_error(*problem);
    }
    // The report is written whole and flushed, so a full or closed standard
    // output is an error and not a silent success.
    const std::string report =
        formatReport(*result.deployment->ir, result.deployment->report, title);
    out.write(report.data(), static_cast<std::streamsize>(report.size()));
    out.flush();
    if (!out) {
        throw std::runtime_error("cannot write report to standard output");
    }
}

/// The one handler: every failure is one line on `err` and status 1.
template <class Work> int reportFailures(std::ostream& err, Work work) {
    try {
        work();
        return 0;
    } catch (const Placement::ParseError& error) {
        err << kErrorPrefix << error.text() << '\n'; // what() would stop at a NUL byte
    } catch (const std::exception& error) {
        err << kErrorPrefix << error.what() << '\n';
    }
    err.flush();
    return 1;
}

} // namespace

std::vector<std::string> arguments(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return reportFailures(err, [&] {
        if (args.size() != 1) {
            throw std::runtime_error("usage: talvex_composite_deploy <file.cplace>");
        }
        deployFile(args.front(), args.front(), Orchestration::buildExampleSystem(),
                   portableInputs(), kPortableReportTitle, out);
    });
}

int deploy(const std::string& path, const Orchestration::SystemSpec& system,
           const ResolutionInputs& inputs, std::string_view title, std::ostream& out,
           std::ostream& err) {
    return deploy(path, path, system, inputs, title, out, err);
}

int deploy(const std::string& path, const std::string& name,
           const Orchestration::SystemSpec& system, const ResolutionInputs& inputs,
           std::string_view title, std::ostream& out, std::ostream& err) {
    return reportFailures(err, [&] { deployFile(path, name, system, inputs, title, out); });
}

} // namespace Core::App
