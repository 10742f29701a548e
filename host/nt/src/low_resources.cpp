#include "low_resources.h"

#include "kernel_impl.h"

#include <utility>

namespace host {

void LowResourcesSimulation::Arm(LowResources plan)
{
    std::lock_guard<std::mutex> lock(mutex_);
    plan_ = std::move(plan);
    random_.seed(plan_.Seed);
    calls_ = 0;
    failed_ = 0;
    armed_ = true;
}

std::uint64_t LowResourcesSimulation::Disarm()
{
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
    plan_ = LowResources();
    return failed_;
}

bool LowResourcesSimulation::ShouldFail(const char* routine)
{
    if (!armed_.load()) {
        return false;
    }
    std::function<bool(const char*)> rule;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!armed_) {
            return false;
        }
        ++calls_;
        if (plan_.FailCall != 0 || plan_.FailProbability > 0) {
            const bool fail =
                plan_.FailCall != 0
                    ? calls_ == plan_.FailCall
                    : std::uniform_real_distribution<double>()(random_) < plan_.FailProbability;
            failed_ += fail ? 1 : 0;
            return fail;
        }
        rule = plan_.Rule;
    }
    // Asked outside the lock: a rule may call into the kernel, even from
    // another thread it waits for.
    const bool fail = rule && rule(routine);
    if (fail) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++failed_;
    }
    return fail;
}

bool SimulateLowResources(const char* routine)
{
    Kernel::Impl& kernel = Internals();
    if (!kernel.LowResourcesSim().ShouldFail(routine)) {
        return false;
    }
    kernel.Log(LogLevel::Debug, std::string("low resources: ") + routine + " fails");
    return true;
}

}  // namespace host
