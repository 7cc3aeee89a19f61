// The fleet: a shared counter hands out files, so that each thread takes the
// next machine when it is done with one and only a few machines are held at
// a time; answers are stored at their file's place, so the order does not
// depend on the threads.
#include "companion/fleet.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "common/stable_hash.h"
#include "companion/inventory_file.h"
#include "deployment/first_fit.h"
#include "deployment/inventory_text.h"

namespace Core::Companion {
namespace {

/// What tells two machines apart for resolution: the canonical text, and
/// the available memory and CUDA indices it leaves out (machines with one
/// fingerprint may differ in either, and so in their answers). Kept as two
/// independent 64-bit hashes of that text, so that a fleet's keys stay small.
using MachineKey = std::pair<std::uint64_t, std::uint64_t>;

MachineKey machineKey(const Placement::ResourceInventory& inventory) {
    std::string key = Placement::canonicalInventoryText(inventory);
    for (const Placement::InventoryDevice& device : inventory.devices) {
        key += '\n';
        key += device.available_bytes ? std::to_string(*device.available_bytes) : "-";
        key += ' ';
        key += device.index ? std::to_string(*device.index) : "-";
    }
    return {StableHash::of(key), std::hash<std::string>{}(key)};
}

/// The answer for one machine, without its file.
MachineFit resolve(const Placement::PlacementIR& ir,
                   const std::vector<Estimation::WorkloadRequirement>& workload,
                   const Placement::ResourceInventory& inventory) {
    MachineFit fit;
    const Placement::DeploymentResult result =
        Placement::resolveDeployment(ir, inventory, workload);
    fit.hardware_fingerprint = result.report.hardware_fingerprint;
    fit.fits = result.ir.has_value();
    if (fit.fits) {
        const auto tightest = std::min_element(
            result.report.budgets.begin(), result.report.budgets.end(),
            [](const Placement::DeviceBudget& a, const Placement::DeviceBudget& b) {
                return a.headroom < b.headroom;
            });
        if (tightest != result.report.budgets.end()) {
            fit.tightest = *tightest;
        }
    } else if (!result.report.issues.empty()) {
        fit.refusal = result.report.issues.front().path + ": " + result.report.issues.front().message;
    }
    return fit;
}

} // namespace

std::vector<std::string> inventoryFiles(const std::vector<std::string>& paths) {
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        std::error_code code;
        if (!std::filesystem::is_directory(path, code)) {
            files.push_back(path);
            continue;
        }
        std::vector<std::string> inFolder;
        for (const auto& entry : std::filesystem::directory_iterator(path, code)) {
            if (entry.path().extension() == ".json") {
                inFolder.push_back(entry.path().string());
            }
        }
        std::sort(inFolder.begin(), inFolder.end());
        files.insert(files.end(), inFolder.begin(), inFolder.end());
    }
    return files;
}

std::vector<MachineFit> fitMachines(const Placement::PlacementIR& ir,
                                    const std::vector<Estimation::WorkloadRequirement>& workload,
                                    const std::vector<std::string>& files, unsigned threads) {
    std::vector<MachineFit> fits(files.size());
    std::atomic<std::size_t> next{0};
    // The first failure of any thread (running out of memory) ends them all
    // and is thrown here once they have stopped.
    std::mutex failureMutex;
    std::exception_ptr failure;
    // Each distinct machine is resolved once; a thread that meets one another
    // thread is resolving waits for that answer.
    std::mutex mutex;
    std::map<MachineKey, std::shared_future<MachineFit>> answers;
    const auto work = [&] {
        for (std::size_t i = next++; i < files.size(); i = next++) {
            InventoryFile file = readInventoryFile(files[i]);
            if (!file.inventory) {
                fits[i].file = files[i];
                for (InventoryFileProblem& problem : file.problems) {
                    fits[i].problems.push_back(std::move(problem.message));
                }
                continue;
            }
            const MachineKey key = machineKey(*file.inventory);
            std::promise<MachineFit> promise;
            std::shared_future<MachineFit> answer;
            bool mine = false;
            {
                const std::lock_guard lock(mutex);
                auto [found, inserted] = answers.try_emplace(key);
                if (inserted) {
                    found->second = promise.get_future().share();
                    mine = true;
                }
                answer = found->second;
            }
            if (mine) {
                try {
                    promise.set_value(resolve(ir, workload, *file.inventory));
                } catch (...) {
                    promise.set_exception(std::current_exception());
                }
            }
            fits[i] = answer.get();
            fits[i].file = files[i];
        }
    };
    const auto guarded = [&] {
        try {
            work();
        } catch (...) {
            const std::lock_guard lock(failureMutex);
            if (!failure) {
                failure = std::current_exception();
            }
            next = files.size();
        }
    };
    std::vector<std::thread> workers;
    const unsigned count = std::max(1U, threads);
    for (unsigned t = 1; t < count; ++t) {
        try {
            workers.emplace_back(guarded);
        } catch (const std::system_error&) {
            break; // fewer threads, the same answers
        }
    }
    guarded();
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return fits;
}

} // namespace Core::Companion
