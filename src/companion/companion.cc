// The companion command: its options (CLI11), the subcommands and their exit
// statuses, the notes on a mistyped word, and its shell completion. Everything
// it says comes from the pipeline and is rendered by render.h; nothing here
// decides anything about a placement.
#include "companion/companion.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>
#include <optional>
#include <ostream>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <cstdlib>
#include <iostream>
#include <unistd.h>
#include <variant>
#include <thread>
#include <string_view>

#include "app/driver.h"
#include "app/placement_file.h"
#include "common/near_words.h"
#include "companion/completion.h"
#include "companion/explanation.h"
#include "companion/fleet.h"
#include "companion/inventory_file.h"
#include "companion/kubernetes.h"
#include "companion/render.h"
#include "companion/session.h"

namespace Core::Companion {
namespace {

constexpr std::string_view kProgram = "talvex_composite";

enum class Format { text, json, dot, kubernetes };

struct Options {
    std::vector<std::string> files;
    Format format = Format::text;
    std::string inventory = "fixture";
    std::string system; ///< a system file, or empty for the built-in system
    std::string topic;  ///< the subcommand that help is asked about
    std::string placement; ///< fit's placement; its machines are `files`
    unsigned jobs = 0;     ///< fit's threads; 0 for one per core
    std::string colour = "auto"; ///< --color: auto, always or never
};

/// Colour for diagnostics on `stream`: asked for, or by default on a
/// terminal unless NO_COLOR is set.
bool useColour(const Options& options, const std::ostream& stream) {
    if (options.colour != "auto") {
        return options.colour == "always";
    }
    const char* noColour = std::getenv("NO_COLOR");
    if (noColour != nullptr && *noColour != '\0') {
        return false;
    }
    const int fd = &stream == &std::cout ? STDOUT_FILENO
                   : &stream == &std::cerr ? STDERR_FILENO
                                           : -1;
    return fd >= 0 && ::isatty(fd) == 1;
}

/// The style of a placement's diagnostics: its lines, and colour on `stream`.
DiagnosticStyle placementStyle(const PlacementRun& run, const Options& options,
                               const std::ostream& stream) {
    return {run.text ? run.text->view() : std::string_view(), useColour(options, stream)};
}

/// Writes `text` whole and flushes, so that a full or closed standard output
/// is a failure and not a silent success.
int emit(std::ostream& out, std::ostream& err, const std::string& text, int status) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
        err << kProgram << ": error: cannot write to standard output\n";
        err.flush();
        return kRefused;
    }
    return status;
}

int emitJson(std::ostream& out, std::ostream& err, const Json& document, int status) {
    // A file name or an offending byte need not be UTF-8; JSON text must be,
    // so each ill-formed sequence becomes one U+FFFD.
    return emit(out, err, document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n",
                status);
}

/// The probe's notes, one "talvex_composite: note: ..." line each.
void writeNotes(std::ostream& err, const Inventories& inventories) {
    for (const std::string& note : inventories.notes()) {
        err << kProgram << ": note: " << note << '\n';
    }
    err.flush();
}

/// The tool's own error line after "deployment example: ", for the JSON
/// document of a deploy that was refused.
Json refusalJson(const PlacementRun& placementRun) {
    if (placementRun.failure) {
        return *placementRun.failure;
    }
    if (placementRun.parseError) {
        return placementRun.parseError->text();
    }
    if (const std::optional<std::string> problem = App::refusal(placementRun.result)) {
        return *problem;
    }
    return nullptr;
}

/// Which system a document answers for and that system file's problems.
void addSystemJson(Json& document, const SystemSource& system,
                   const std::vector<Diagnostic>& problems) {
    document["system"] = system.file() != nullptr ? Json(system.file()->file) : Json(nullptr);
    document["system_diagnostics"] = diagnosticsJson(problems);
}

/// A system file that did not read has no system to resolve against: its
/// problems are the whole answer.
int unusableSystem(const SystemSource& system, std::ostream& err) {
    err << diagnosticsText(systemDiagnostics(system), system.file()->file);
    err.flush();
    return kRefused;
}

/// A file's whole text, for the manifest that carries it.
std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::move(text).str();
}

/// deploy --format kubernetes: the manifest of one replica, or, for a plan
/// that does not resolve or whose GPUs a container could not see, one error
/// line and no manifest.
int kubernetes(const std::string& file, const SystemSource& system, Inventories& inventories,
               std::ostream& out, std::ostream& err) {
    const PlacementRun placementRun = runPlacement(file, system, inventories);
    writeNotes(err, inventories);
    const auto manifestOf = [&]() -> std::variant<Json, std::string> {
        if (!placementRun.resolved()) {
            return refusalJson(placementRun).get<std::string>();
        }
        PlanFiles files{std::string(placementRun.text->view()), std::nullopt};
        if (system.file() != nullptr) {
            files.system = fileText(system.file()->file);
        }
        return kubernetesManifest(placementRun, files);
    };
    const std::variant<Json, std::string> manifest = manifestOf();
    if (const std::string* problem = std::get_if<std::string>(&manifest)) {
        err << kProgram << ": error: " << *problem << '\n';
        err.flush();
        return kRefused;
    }
    return emitJson(out, err, std::get<Json>(manifest), kSuccess);
}

int deploy(const Options& options, const SystemSource& system, Inventories& inventories,
           std::ostream& out, std::ostream& err) {
    const std::string& file = options.files.front();
    if (options.format == Format::kubernetes) {
        return kubernetes(file, system, inventories, out, err);
    }
    if (options.format == Format::text) {
        if (!system.usable()) {
            return unusableSystem(system, err);
        }
        // The tool's own call, so that the report and the error line are its bytes.
        std::ostringstream errorLine;
        const int status =
            App::deploy(placementSource(file), placementName(file), system.spec(),
                        inventories.inputs(system), inventories.reportTitle(), out, errorLine);
        writeNotes(err, inventories);
        err << errorLine.str();
        err.flush();
        return status;
    }
    const PlacementRun placementRun = runPlacement(file, system, inventories);
    Json document = placementJson("deploy", placementRun, inventories.name());
    addSystemJson(document, system, systemDiagnostics(system));
    addResolutionJson(document, placementRun);
    document["refusal"] = refusalJson(placementRun);
    document["suggestion"] = suggestionJson(placementRun);
    document["diagnostics"] = diagnosticsJson(diagnose(placementRun));
    document["notes"] = inventories.notes();
    return emitJson(out, err, document, placementRun.resolved() ? kSuccess : kRefused);
}

int check(const Options& options, const SystemSource& system, Inventories& inventories,
          std::ostream& out, std::ostream& err) {
    std::string text;
    Json files = Json::array();
    const std::vector<Diagnostic> systemProblems = systemDiagnostics(system);
    bool allResolved = std::none_of(systemProblems.begin(), systemProblems.end(),
                                    [](const Diagnostic& d) { return d.severity == Severity::error; });
    if (system.file() != nullptr && options.format == Format::text) {
        text += diagnosticsText(systemProblems, system.file()->file, {{}, useColour(options, out)});
    }
    // Without a system, a placement has nothing to be lowered against.
    const std::vector<std::string> placements =
        system.usable() ? options.files : std::vector<std::string>{};
    for (const std::string& file : placements) {
        const PlacementRun placementRun = runPlacement(file, system, inventories);
        const std::vector<Diagnostic> diagnostics = diagnose(placementRun);
        allResolved = allResolved && placementRun.resolved();
        if (options.format == Format::text) {
            text += diagnosticsText(diagnostics, placementName(file),
                                    placementStyle(placementRun, options, out));
        } else {
            files.push_back({{"file", placementName(file)},
                             {"resolved", placementRun.resolved()},
                             {"suggestion", suggestionJson(placementRun)},
                             {"diagnostics", diagnosticsJson(diagnostics)}});
        }
    }
    const int status = allResolved ? kSuccess : kRefused;
    if (options.format == Format::text) {
        writeNotes(err, inventories);
        return emit(out, err, text, status);
    }
    Json document;
    document["format_version"] = kJsonFormatVersion;
    document["command"] = "check";
    document["inventory"] = inventories.name();
    addSystemJson(document, system, systemProblems);
    document["resolved"] = allResolved;
    document["files"] = std::move(files);
    document["notes"] = inventories.notes();
    return emitJson(out, err, document, status);
}

int explain(const Options& options, const SystemSource& system, Inventories& inventories,
            std::ostream& out, std::ostream& err) {
    const std::string& file = options.files.front();
    if (!system.usable() && options.format == Format::text) {
        return unusableSystem(system, err);
    }
    const PlacementRun placementRun = runPlacement(file, system, inventories);
    const std::vector<Diagnostic> systemProblems = systemDiagnostics(system);
    const std::vector<Diagnostic> diagnostics = diagnose(placementRun);
    const std::vector<EngineExplanation> engines = explainEngines(placementRun, system);
    const int status = placementRun.resolved() ? kSuccess : kRefused;
    if (options.format == Format::text) {
        writeNotes(err, inventories);
        // A refusal, and the warnings of a plan that resolved, go where errors go.
        if (system.file() != nullptr) {
            err << diagnosticsText(systemProblems, system.file()->file,
                                   {{}, useColour(options, err)});
        }
        err << diagnosticsText(diagnostics, placementName(file),
                               placementStyle(placementRun, options, err));
        err.flush();
        if (placementRun.refusedPlan) {
            return emit(out, err, refusalText(*placementRun.refusedPlan), status);
        }
        return placementRun.resolved()
                   ? emit(out, err,
                          explanationText(placementRun, engines, inventories.reportTitle()),
                          status)
                   : status;
    }
    Json document = placementJson("explain", placementRun, inventories.name());
    addSystemJson(document, system, systemProblems);
    addExplanationJson(document, placementRun, engines);
    Json resolution;
    addResolutionJson(resolution, placementRun);
    document["budgets"] = placementRun.refusedPlan
                              ? budgetsJson(placementRun.refusedPlan->figures.budgets)
                              : std::move(resolution["budgets"]);
    document["suggestion"] = suggestionJson(placementRun);
    document["diagnostics"] = diagnosticsJson(diagnostics);
    document["notes"] = inventories.notes();
    return emitJson(out, err, document, status);
}

int inventory(const Options& options, Inventories& inventories, std::ostream& out,
              std::ostream& err) {
    const Placement::ResourceInventory* probed = nullptr;
    try {
        probed = &inventories.get();
    } catch (const std::exception& error) {
        err << kProgram << ": error: " << error.what() << '\n';
        err.flush();
        return kRefused;
    }
    if (options.format == Format::text) {
        writeNotes(err, inventories);
        const std::string label = inventories.source() == InventorySource::fixture
                                      ? "portable inventory fixture"
                                  : inventories.source() == InventorySource::host
                                      ? "host inventory"
                                      : "inventory file " + std::string(inventories.name());
        return emit(out, err, inventoryText(*probed, label), kSuccess);
    }
    Json document = inventoryJson(*probed, inventories.name());
    document["notes"] = inventories.notes();
    return emitJson(out, err, document, kSuccess);
}

int describeSystem(const Options& options, std::ostream& out, std::ostream& err) {
    const SystemSource system(options.files.front());
    const std::vector<Diagnostic> diagnostics = systemDiagnostics(system);
    const std::size_t errors = static_cast<std::size_t>(
        std::count_if(diagnostics.begin(), diagnostics.end(),
                      [](const Diagnostic& d) { return d.severity == Severity::error; }));
    const int status = errors == 0 ? kSuccess : kRefused;
    const std::vector<SystemEngineExplanation> engines =
        system.usable() ? explainSystem(system) : std::vector<SystemEngineExplanation>{};
    if (options.format == Format::json) {
        return emitJson(out, err, systemJson(system, engines, diagnostics), status);
    }
    err << diagnosticsText(diagnostics, system.file()->file);
    err.flush();
    if (!system.usable()) {
        return kRefused;
    }
    return emit(out, err,
                options.format == Format::dot ? systemDot(system, engines)
                                        : systemText(system, engines, errors),
                status);
}

int usageError(std::ostream& err, std::string_view message,
               const std::vector<std::string>& notes = {});

/// Problems of a placement that stop it before any machine: the first error
/// in its text, or every issue against the system.
std::vector<Diagnostic> loweringProblems(const std::string& file,
                                         const Orchestration::SystemSpec& system,
                                         std::optional<Placement::PlacementIR>& ir) {
    std::vector<Diagnostic> problems;
    try {
        const std::string text = App::readPlacementFile(placementSource(file));
        Placement::LoweringResult lowered =
            App::lowerPlacementText(text, placementName(file), system);
        for (Placement::PlacementIssue& issue : lowered.issues) {
            problems.push_back({Severity::error, std::move(issue.message), std::move(issue.path),
                                std::move(issue.location), {}, {}});
        }
        ir = std::move(lowered.ir);
    } catch (const Placement::ParseError& error) {
        problems.push_back({Severity::error, error.message(), {}, error.location(), {}, {}});
    } catch (const std::runtime_error& error) {
        problems.push_back({Severity::error, error.what(), {}, std::nullopt, {}, {}});
    }
    return problems;
}

int fit(const Options& options, const Host::HostProbeOptions& /*probe*/, std::ostream& out,
        std::ostream& err) {
    const SystemSource system =
        options.system.empty() ? SystemSource() : SystemSource(options.system);
    if (!system.usable()) {
        return unusableSystem(system, err);
    }
    std::optional<Placement::PlacementIR> ir;
    const std::vector<Diagnostic> problems = loweringProblems(options.placement, system.spec(), ir);
    if (!ir) {
        err << diagnosticsText(problems, options.placement);
        err.flush();
        return kRefused;
    }
    const std::vector<std::string> files = inventoryFiles(options.files);
    const unsigned threads = options.jobs != 0 ? options.jobs : std::thread::hardware_concurrency();
    const std::vector<MachineFit> fits = fitMachines(*ir, system.workload(), files, threads);
    const std::size_t fitting = static_cast<std::size_t>(
        std::count_if(fits.begin(), fits.end(), [](const MachineFit& f) { return f.fits; }));
    const int status = fitting > 0 ? kSuccess : kRefused;
    if (options.format == Format::json) {
        return emitJson(out, err, fitJson(options.placement, system, fits), status);
    }
    return emit(out, err, fitText(fits), status);
}

/// The inventory that --inventory names; absent, with its problems written
/// on `err`, for a file that does not describe a machine whole.
std::optional<Inventories> chooseInventory(const Options& options,
                                           const Host::HostProbeOptions& probe,
                                           std::ostream& err) {
    std::optional<Inventories> chosen;
    if (options.inventory == "fixture" || options.inventory == "host") {
        chosen.emplace(options.inventory == "host" ? InventorySource::host
                                                   : InventorySource::fixture,
                       probe);
        return chosen;
    }
    // A machine from a file is read whole before anything is resolved against
    // it: a problem in it ends the command.
    InventoryFile file = readInventoryFile(options.inventory);
    if (!file.inventory) {
        std::vector<Diagnostic> problems;
        for (InventoryFileProblem& problem : file.problems) {
            Diagnostic diagnostic{Severity::error, std::move(problem.message), {}, std::nullopt, {}, {}};
            if (problem.line != 0) {
                diagnostic.location = SourceLocation{options.inventory, problem.line, problem.column};
            }
            for (std::string& note : problem.notes) {
                diagnostic.notes.push_back({Severity::note, std::move(note), {}, diagnostic.location, {}, {}});
            }
            problems.push_back(std::move(diagnostic));
        }
        err << diagnosticsText(problems, options.inventory);
        err.flush();
        return chosen;
    }
    chosen.emplace(options.inventory, std::move(*file.inventory), std::move(file.notes));
    return chosen;
}

/// What a subcommand's work is given.
struct Context {
    const Options& options;
    const Host::HostProbeOptions& probe;
    std::ostream& out;
    std::ostream& err;
};

/// Runs `work` with the system and the inventory the options name.
template <class Work> int withInputs(const Context& context, Work work) {
    std::optional<Inventories> inventories = chooseInventory(context.options, context.probe, context.err);
    if (!inventories) {
        return kRefused;
    }
    const SystemSource system = context.options.system.empty()
                                    ? SystemSource()
                                    : SystemSource(context.options.system);
    return work(context.options, system, *inventories, context.out, context.err);
}

using FormatNames = std::map<std::string, Format>;

/// What a shell completes for each option and operand.
using Hints = std::map<const CLI::Option*, ValueHint>;

const ValueHint kPlacementFiles{{}, {".cplace"}};
const ValueHint kSystemFiles{{}, {".toml"}};
const ValueHint kInventoryFiles{{}, {".json"}};

CLI::Option* hinted(Hints& hints, CLI::Option* option, ValueHint hint) {
    hints[option] = std::move(hint);
    return option;
}

void formatOption(CLI::App& command, Options& options, Hints& hints, const FormatNames& formats,
                  const std::string& help) {
    std::vector<std::string> names;
    for (const auto& [name, format] : formats) {
        names.push_back(name);
    }
    // CLI11 runs the transform added last first: the names are checked
    // before they become values, so that a mistake is told in words.
    CLI::Option* option = command.add_option("--format", options.format, help)
                              ->transform(CLI::Transformer(formats))
                              ->transform(CLI::IsMember(names));
    hinted(hints, option, ValueHint{names, {}});
}

void inventoryOption(CLI::App& command, Options& options, Hints& hints) {
    CLI::Option* option =
        command
            .add_option(
                "--inventory", options.inventory,
                "fixture (the default): the portable fixture; host: this machine; "
                "FILE.json: a machine saved by 'inventory --format json' or written by hand")
            ->check(CLI::Validator(
                [](const std::string& value) {
                    return value == "fixture" || value == "host" || value.ends_with(".json")
                               ? std::string()
                               : "expected fixture, host or a FILE.json, not '" + value + "'";
                },
                "fixture|host|FILE.json"));
    hinted(hints, option, ValueHint{{"fixture", "host"}, kInventoryFiles.extensions});
}

void colourOption(CLI::App& command, Options& options, Hints& hints) {
    hinted(hints,
           command
               .add_option("--color", options.colour,
                           "auto (the default): colour on a terminal unless NO_COLOR is set; "
                           "always; never")
               ->check(CLI::IsMember({"auto", "always", "never"})),
           ValueHint{{"auto", "always", "never"}, {}});
}

void systemOption(CLI::App& command, Options& options, Hints& hints) {
    hinted(hints,
           command.add_option("--system", options.system,
                              "a system file (TOML) to resolve against instead of the built-in "
                              "composite-three-engine"),
           kSystemFiles);
}

const FormatNames kTextOrJson = {{"text", Format::text}, {"json", Format::json}};

/// A subcommand: its name and summary, the operands and options it takes,
/// and its work. Help, the usage of an unknown word and the dispatch all
/// come from this one table.
struct Command {
    std::string_view name;
    std::string_view synopsis; ///< what follows the name in the usage
    std::string_view summary;
    void (*setup)(CLI::App& command, Options& options, Hints& hints);
    int (*work)(const Context& context);
};

const Command kCommands[] = {
    {"deploy",
     "FILE [--system FILE.toml] [--format text|json|kubernetes] [--inventory fixture|host|FILE.json]",
     "Resolve one placement file and print its report, as talvex_composite_deploy does",
     [](CLI::App& command, Options& options, Hints& hints) {
         hinted(hints, command.add_option("FILE", options.files, "the placement file ('-': standard input)"),
                kPlacementFiles)
             ->required()
             ->expected(1);
         formatOption(command, options, hints,
                      {{"text", Format::text}, {"json", Format::json},
                       {"kubernetes", Format::kubernetes}},
                      "text (the default), json, or kubernetes: a manifest of one replica");
         inventoryOption(command, options, hints);
         systemOption(command, options, hints);
     },
     [](const Context& context) { return withInputs(context, deploy); }},
    {"check",
     "[FILE...] [--system FILE.toml] [--format text|json] [--inventory fixture|host|FILE.json]",
     "Show every problem of each placement file (and of the system file), with its position and "
     "hints",
     [](CLI::App& command, Options& options, Hints& hints) {
         hinted(hints, command.add_option("FILE", options.files, "the placement files ('-': standard input)"),
                kPlacementFiles);
         formatOption(command, options, hints, kTextOrJson, "text (the default) or json");
         colourOption(command, options, hints);
         inventoryOption(command, options, hints);
         systemOption(command, options, hints);
     },
     [](const Context& context) {
         if (context.options.files.empty() && context.options.system.empty()) {
             return usageError(context.err, "check needs a placement file or --system FILE.toml");
         }
         return withInputs(context, check);
     }},
    {"explain",
     "FILE [--system FILE.toml] [--format text|json] [--inventory fixture|host|FILE.json]",
     "Resolve one placement file and explain it: peaks, first fit, budgets, and how much more fits",
     [](CLI::App& command, Options& options, Hints& hints) {
         hinted(hints, command.add_option("FILE", options.files, "the placement file ('-': standard input)"),
                kPlacementFiles)
             ->required()
             ->expected(1);
         formatOption(command, options, hints, kTextOrJson, "text (the default) or json");
         colourOption(command, options, hints);
         inventoryOption(command, options, hints);
         systemOption(command, options, hints);
     },
     [](const Context& context) { return withInputs(context, explain); }},
    {"system", "FILE.toml [--format text|json|dot]", "Check a system file and show its hash and each engine's estimate",
     [](CLI::App& command, Options& options, Hints& hints) {
         hinted(hints, command.add_option("FILE", options.files, "the system file (TOML)"),
                kSystemFiles)
             ->required()
             ->expected(1);
         formatOption(command, options, hints,
                      {{"text", Format::text}, {"json", Format::json}, {"dot", Format::dot}},
                      "text (the default), json or dot");
     },
     [](const Context& context) {
         return describeSystem(context.options, context.out, context.err);
     }},
    {"fit", "PLACEMENT INVENTORY... [--system FILE.toml] [--format text|json] [--jobs N]",
     "Resolve one placement against many machines (inventory files, or folders of them): one "
     "line each",
     [](CLI::App& command, Options& options, Hints& hints) {
         hinted(hints, command.add_option("PLACEMENT", options.placement, "the placement file"),
                kPlacementFiles)
             ->required();
         hinted(hints,
                command.add_option("INVENTORY", options.files,
                                   "inventory files, or folders of .json files"),
                kInventoryFiles)
             ->required();
         formatOption(command, options, hints, kTextOrJson, "text (the default) or json");
         systemOption(command, options, hints);
         command.add_option("--jobs", options.jobs, "threads (default: one per core)")
             ->check(CLI::Range(1U, 1024U));
     },
     [](const Context& context) {
         return fit(context.options, context.probe, context.out, context.err);
     }},
    {"inventory", "[--format text|json] [--inventory fixture|host|FILE.json]",
     "Show the inventory that resolution uses",
     [](CLI::App& command, Options& options, Hints& hints) {
         formatOption(command, options, hints, kTextOrJson, "text (the default) or json");
         inventoryOption(command, options, hints);
     },
     [](const Context& context) {
         std::optional<Inventories> inventories =
             chooseInventory(context.options, context.probe, context.err);
         return inventories ? inventory(context.options, *inventories, context.out, context.err)
                            : kRefused;
     }},
};

int usageError(std::ostream& err, std::string_view message,
               const std::vector<std::string>& notes) {
    err << kProgram << ": " << message << '\n';
    for (const std::string& note : notes) {
        err << kProgram << ": note: " << note << '\n';
    }
    std::string_view lead = "usage: ";
    for (const Command& command : kCommands) {
        err << lead << kProgram << ' ' << command.name << ' ' << command.synopsis << '\n';
        lead = "       ";
    }
    err << lead << kProgram << " --help | --version | help SUBCOMMAND\n"
        << "Run 'talvex_composite --help' for more.\n";
    err.flush();
    return kUsageError;
}

/// The subcommands that help lists; completion's is hidden.
std::vector<const CLI::App*> visibleSubcommands(const CLI::App& app) {
    return app.get_subcommands(
        [](const CLI::App* subcommand) { return !subcommand->get_group().empty(); });
}

/// The subcommand called `name`, or null.
CLI::App* subcommandNamed(CLI::App& app, std::string_view name) {
    for (CLI::App* subcommand : app.get_subcommands([](CLI::App*) { return true; })) {
        if (subcommand->get_name() == name) {
            return subcommand;
        }
    }
    return nullptr;
}

/// Whether CLI11 takes `word` for an option: "--" or "-" and a character a
/// name may begin with. "-" alone and negative numbers are values.
bool isOptionWord(std::string_view word) {
    const auto nameStart = [](char c) { return c != '-' && c != '!' && c != ' ' && c != '\n'; };
    if (word.starts_with("--")) {
        return word.size() > 2 && nameStart(word[2]);
    }
    return word.size() > 1 && word[0] == '-' && nameStart(word[1]) &&
           (word[1] < '0' || word[1] > '9');
}

/// The option `word` names as CLI11 reads it: "--format" of "--format=json",
/// "-h" of "-hx".
std::string_view optionName(std::string_view word) {
    return word.starts_with("--") ? word.substr(0, word.find('=')) : word.substr(0, 2);
}

bool valueAttached(std::string_view word) {
    return word.starts_with("--") ? word.find('=') != std::string_view::npos : word.size() > 2;
}

/// An option's names as written: "-h", "--help".
std::vector<std::string> namesOf(const CLI::Option& option) {
    std::vector<std::string> names;
    for (const std::string& name : option.get_snames()) {
        names.push_back("-" + name);
    }
    for (const std::string& name : option.get_lnames()) {
        names.push_back("--" + name);
    }
    return names;
}

/// The names of `app`'s options; with `valuesOnly`, of those that take a value.
std::vector<std::string> optionNames(const CLI::App& app, bool valuesOnly = false) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        if (option->nonpositional() && (!valuesOnly || option->get_items_expected_max() > 0)) {
            const std::vector<std::string> spelled = namesOf(*option);
            names.insert(names.end(), spelled.begin(), spelled.end());
        }
    }
    return names;
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

/// The command line with the options written before the subcommand moved to
/// just after it: the subcommand then takes them, or refuses them, exactly as
/// if they had been written there.
struct Arranged {
    std::vector<std::string> args;
    std::optional<std::size_t> subcommand; ///< the subcommand word's index
    /// Options before the subcommand that are neither the program's own nor
    /// any subcommand's.
    std::vector<std::string> unknown;
};

Arranged arrange(const std::vector<std::string>& args, const std::vector<std::string>& ownOptions,
                 const std::vector<std::string>& movable) {
    Arranged arranged{args, std::nullopt, {}};
    std::vector<std::string> kept;
    std::vector<std::string> moved;
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        const std::string& word = args[i];
        if (!isOptionWord(word)) {
            arranged.subcommand = kept.size();
            kept.push_back(word);
            kept.insert(kept.end(), std::make_move_iterator(moved.begin()),
                        std::make_move_iterator(moved.end()));
            kept.insert(kept.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            arranged.args = std::move(kept);
            return arranged;
        }
        if (contains(movable, optionName(word))) {
            moved.push_back(word);
            if (!valueAttached(word) && i + 1 < args.size()) {
                moved.push_back(args[++i]);
            }
        } else {
            kept.push_back(word);
            if (!contains(ownOptions, optionName(word))) {
                arranged.unknown.push_back(word);
            }
        }
    }
    return arranged;
}

/// A note for each option in `words` that is not one of `known`: the option
/// it was likely meant to be, else (for a subcommand) the options it takes.
std::vector<std::string> optionNotes(const std::vector<std::string>& words,
                                     const std::vector<std::string>& known,
                                     const CLI::App* subcommand) {
    // Compared without their dashes, so that "-format" is taken for "--format"
    // and a near miss is judged by the letters of the name alone.
    std::vector<std::string> bare;
    for (const std::string& name : known) {
        if (name.starts_with("--")) {
            bare.push_back(name.substr(2));
        }
    }
    const std::vector<std::string_view> candidates(bare.begin(), bare.end());
    std::vector<std::string_view> listed;
    for (const std::string& name : known) {
        if (name.starts_with("--") && name != "--help") {
            listed.push_back(name);
        }
    }
    std::vector<std::string> notes;
    for (const std::string& word : words) {
        std::string_view name = word;
        name = name.substr(0, name.find('='));
        name.remove_prefix(std::min(name.find_first_not_of('-'), name.size()));
        if (const std::optional<std::string_view> near = nearestWord(name, candidates)) {
            notes.push_back(didYouMean("--" + std::string(*near)));
        } else if (subcommand != nullptr && !listed.empty()) {
            notes.push_back(subcommand->get_name() + " takes " + quotedList(listed));
        }
    }
    return notes;
}

/// CLI11's message for arguments left over, with them in the order they
/// were written: CLI11 joins them back to front.
std::string inWrittenOrder(std::string message, const std::vector<std::string>& extras) {
    std::string written;
    std::string reversed;
    for (std::size_t i = 0; i < extras.size(); ++i) {
        written += (i > 0 ? " " : "") + extras[i];
        reversed += (i > 0 ? " " : "") + extras[extras.size() - 1 - i];
    }
    if (!extras.empty() && (message.ends_with(reversed) || message.ends_with(written))) {
        message.replace(message.size() - written.size(), written.size(), written);
    }
    return message;
}

/// The arguments CLI11 had left over when it threw `ExtrasError`: the
/// program's first, then its subcommand's, as it checks them.
std::vector<std::string> leftOver(const CLI::App& app) {
    std::vector<std::string> extras = app.remaining(false);
    for (const CLI::App* subcommand : app.get_subcommands()) {
        if (!extras.empty()) {
            break;
        }
        extras = subcommand->remaining(false);
    }
    return extras;
}

/// "did you mean" for a subcommand's name, when one is near it.
std::vector<std::string> subcommandNotes(std::string_view word,
                                         const std::vector<std::string>& subcommands) {
    const std::vector<std::string_view> names(subcommands.begin(), subcommands.end());
    if (const std::optional<std::string_view> near = nearestWord(word, names)) {
        return {didYouMean(*near)};
    }
    return {};
}

/// Refuses words that nothing would take, before CLI11 sees them: an option
/// that no subcommand has before the subcommand, an unknown subcommand, or an
/// option that the subcommand does not take (which CLI11 would count with the
/// words around it as files too many). Absent when there is none.
std::optional<int> refuseUnknownWords(CLI::App& app, const Arranged& arranged,
                                      const std::vector<std::string>& movable,
                                      const std::vector<std::string>& subcommands,
                                      std::ostream& err) {
    const auto refuse = [&err](const std::vector<std::string>& words,
                               const std::vector<std::string>& known, const CLI::App* subcommand) {
        return usageError(err, inWrittenOrder(CLI::ExtrasError(words).what(), words),
                          optionNotes(words, known, subcommand));
    };
    if (!arranged.unknown.empty()) {
        std::vector<std::string> known = optionNames(app);
        known.insert(known.end(), movable.begin(), movable.end());
        return refuse(arranged.unknown, known, nullptr);
    }
    if (!arranged.subcommand) {
        return std::nullopt;
    }
    const std::string& word = arranged.args[*arranged.subcommand];
    const CLI::App* subcommand = subcommandNamed(app, word);
    if (subcommand == nullptr) {
        // CLI11 would say only that a subcommand is required; after --help or
        // --version the word is theirs to ignore.
        if (*arranged.subcommand == 0) {
            return usageError(err, "unknown subcommand '" + word + "'",
                              subcommandNotes(word, subcommands));
        }
        return std::nullopt;
    }
    std::vector<std::string> unknown;
    const std::vector<std::string> known = optionNames(*subcommand);
    for (std::size_t i = *arranged.subcommand + 1;
         i < arranged.args.size() && arranged.args[i] != "--"; ++i) {
        if (isOptionWord(arranged.args[i]) && !contains(known, optionName(arranged.args[i]))) {
            unknown.push_back(arranged.args[i]);
        }
    }
    if (!unknown.empty()) {
        return refuse(unknown, known, subcommand);
    }
    return std::nullopt;
}

/// What the shells complete, from the subcommands as CLI11 holds them.
CompletedProgram completedProgram(const CLI::App& app, const Hints& hints) {
    const auto completed = [&hints](const CLI::Option& option) {
        CompletedOption result;
        result.names = namesOf(option);
        result.help = option.get_description();
        result.takes_value = option.get_items_expected_max() > 0;
        if (const auto hint = hints.find(&option); hint != hints.end()) {
            result.values = hint->second;
        }
        return result;
    };
    CompletedProgram program{std::string(kProgram), {}, {}};
    for (const CLI::Option* option : app.get_options()) {
        program.options.push_back(completed(*option));
    }
    for (const CLI::App* subcommand : visibleSubcommands(app)) {
        CompletedCommand command{subcommand->get_name(), subcommand->get_description(), {}, {},
                                 false};
        for (const CLI::Option* option : subcommand->get_options()) {
            if (option->nonpositional()) {
                command.options.push_back(completed(*option));
            } else {
                command.operands.push_back(completed(*option).values);
                command.last_operand_repeats = option->get_items_expected_max() > 1;
            }
        }
        program.commands.push_back(std::move(command));
    }
    return program;
}

int runCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               const Host::HostProbeOptions& probe) {
    Options options;
    Hints hints;
    CLI::App app("Resolves how the engines of a composite system (composite-three-engine, or "
                 "one of your own from a system file) are deployed, shows every issue of a "
                 "placement file with its position, explains the plan and how much more fits, "
                 "and speaks JSON.",
                 std::string(kProgram));
    app.set_version_flag("--version", std::string(kProgram) + " " + TALVEX_VERSION);
    app.require_subcommand(1);
    const Command* chosen = nullptr;
    for (const Command& command : kCommands) {
        CLI::App* subcommand = app.add_subcommand(std::string(command.name), std::string(command.summary));
        command.setup(*subcommand, options, hints);
        subcommand->callback([&chosen, &command] { chosen = &command; });
    }
    CLI::App* helpCommand = app.add_subcommand("help", "Show the help of a subcommand");
    CLI::Option* topic = helpCommand->add_option("SUBCOMMAND", options.topic, "the subcommand");
    // Hidden: its output is installed, not typed.
    std::string shell;
    CLI::App* completionCommand =
        app.add_subcommand("completion", "Write the completion script of a shell")->group("");
    completionCommand->add_option("SHELL", shell, "bash, zsh or fish")
        ->required()
        ->check(CLI::IsMember(std::vector<std::string>(kShells.begin(), kShells.end())));
    std::vector<std::string> subcommandNames;
    std::vector<std::string> movable; ///< what may stand before the subcommand
    for (const CLI::App* subcommand : visibleSubcommands(app)) {
        subcommandNames.push_back(subcommand->get_name());
        for (std::string& name : optionNames(*subcommand, true)) {
            if (!contains(movable, name)) {
                movable.push_back(std::move(name));
            }
        }
    }
    hints[topic] = ValueHint{subcommandNames, {}};

    const Arranged arranged = arrange(args, optionNames(app), movable);
    if (const std::optional<int> refused =
            refuseUnknownWords(app, arranged, movable, subcommandNames, err)) {
        return *refused;
    }
    try {
        // CLI11 pops from the back.
        std::vector<std::string> reversed(arranged.args.rbegin(), arranged.args.rend());
        app.parse(reversed);
    } catch (const CLI::ExtrasError& error) {
        return usageError(err, inWrittenOrder(error.what(), leftOver(app)));
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            std::ostringstream text;
            std::ostringstream ignored;
            app.exit(error, text, ignored); // --help or --version
            return emit(out, err, text.str(), kSuccess);
        }
        return usageError(err, error.what());
    }

    if (completionCommand->parsed()) {
        return emit(out, err, completionScript(shell, completedProgram(app, hints)), kSuccess);
    }
    if (helpCommand->parsed()) {
        if (options.topic.empty()) {
            // app.help() would give the help of the help subcommand, now selected.
            return emit(out, err,
                        app.get_formatter()->make_help(&app, std::string(kProgram),
                                                       CLI::AppFormatMode::Normal),
                        kSuccess);
        }
        const CLI::App* topicCommand = subcommandNamed(app, options.topic);
        if (topicCommand == nullptr) {
            return usageError(err, "no such subcommand: " + options.topic,
                              subcommandNotes(options.topic, subcommandNames));
        }
        return emit(out, err, topicCommand->help(std::string(kProgram)), kSuccess);
    }
    return chosen->work(Context{options, probe, out, err});
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const Host::HostProbeOptions& probe) {
    // Whatever a stage lets escape (running out of memory, say) still ends in
    // one line and a documented status.
    try {
        return runCommand(args, out, err, probe);
    } catch (const std::exception& error) {
        err << kProgram << ": error: " << error.what() << '\n';
        err.flush();
        return kRefused;
    }
}

} // namespace Core::Companion
