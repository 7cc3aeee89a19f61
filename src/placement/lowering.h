// Lowering a parsed placement against the orchestration graph.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_order.h"
#include "orchestration/system_spec.h"
#include "placement/document.h"
#include "placement/hints.h"
#include "placement/ir.h"
#include "placement/parser.h"

namespace Core::Placement {

/// How many of a refused placement's issues a lowering lists: every one, or
/// only the first of them in their order, for a caller that shows no more (a
/// wide file can have hundreds of thousands).
enum class IssueScope { every, first };

/// Checks the placement against the graph and builds the IR. Never throws on
/// a bad placement: every problem becomes an issue, in a fixed order.
[[nodiscard]] LoweringResult lowerPlacement(const PlacementSpec& placement,
                                            const Orchestration::SystemSpec& system);
/// The same, listing the issues that `scope` asks for.
[[nodiscard]] LoweringResult lowerPlacement(const PlacementSpec& placement,
                                            const Orchestration::SystemSpec& system,
                                            IssueScope scope);

/// The same lowering fed block by block, straight from the parser, so that a
/// wide file is never held whole: of an engine block for an engine that the
/// graph does not have, only the name and the location are kept.
class PlacementLowering final : public PlacementBlockSink {
  public:
    /// Keeps a reference to `system`, which must outlive the lowering. With
    /// `notes`, every issue found gets the notes that name its fix there.
    explicit PlacementLowering(const Orchestration::SystemSpec& system,
                               IssueNotes* notes = nullptr, IssueScope scope = IssueScope::every);

    void device(DeviceSpec&& device) override;
    void defaults(EngineDefaults&& defaults) override;
    void engine(EnginePlacement&& engine) override;

    /// Every rule, in its order, over the blocks received; `header` gives the
    /// name, target system, policy, determinism and location. Call it once.
    /// A refused placement has its device blocks dropped before its issues
    /// are written, so that a wide file never holds both.
    [[nodiscard]] LoweringResult finish(const PlacementSpec& header);

    /// The device blocks in file order (none after a refusal).
    [[nodiscard]] const std::deque<DeviceSpec>& devices() const noexcept { return devices_; }
    /// The first block for a graph engine, or null.
    [[nodiscard]] const EnginePlacement* engineBlock(std::string_view id) const;

  private:
    struct AbsentEngine {
        std::string name;
        SourceLocation location;
    };

    /// Every graph engine with its device, residency and priority, and the
    /// issues of its block into `issues`; the engines without their identities.
    std::vector<LoweredEngine> lowerEngines(const PlacementSpec& header,
                                            std::vector<PlacementIssue>& issues) const;
    /// Consumes the absent engines' locations into their issues.
    void reportAbsentEngines(std::vector<PlacementIssue>& issues);
    [[nodiscard]] PlacementIR buildIr(const PlacementSpec& header,
                                      std::vector<LoweredEngine> engines) const;

    void note(const std::string& path, std::string_view message, std::string text) const {
        if (notes_ != nullptr) {
            notes_->add(path, message, std::move(text));
        }
    }

    /// False once `list` holds all the issues the scope lets a row add.
    [[nodiscard]] bool wanted(const std::vector<PlacementIssue>& list) const noexcept {
        return scope_ == IssueScope::every || list.empty();
    }

    const Orchestration::SystemSpec& system_;
    IssueNotes* notes_ = nullptr;
    IssueScope scope_ = IssueScope::every;
    /// The graph's engine ids, sorted, viewing the graph.
    std::vector<std::string_view> systemEngineIds_;
    // Deques, which grow without moving what they hold: on a wide file the
    // copies of a growing vector would cost as much as the blocks.
    std::deque<DeviceSpec> devices_;
    std::vector<PlacementIssue> deviceIssues_;
    std::map<EngineClass, EngineDefaults> defaultsByClass_;
    std::vector<PlacementIssue> defaultsIssues_;
    std::map<std::string, EnginePlacement, ByteLess> systemEngineBlocks_;
    std::deque<AbsentEngine> absentEngines_;
};

} // namespace Core::Placement
