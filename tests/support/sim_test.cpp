#include "tests/support/sim_test.h"

#include "sim/ndis_pools.h"
#include "sim/pool.h"
#include "sim/verifier.h"
#include "sim/world.h"

namespace rztest {

void SimTest::SetUp()
{
    sim::ResetWorld();
}

void SimTest::TearDown()
{
    CheckAndResetWorld();
}

void CheckAndResetWorld()
{
    for (const std::string &violation : sim::TakeViolations()) {
        ADD_FAILURE() << "verifier: " << violation;
    }
    for (const std::string &leak : sim::Leaks()) {
        ADD_FAILURE() << "leak: " << leak;
    }
    sim::ReleaseAllPool();
    sim::ReleaseAllNdisPools();
    sim::ResetWorld();
}

std::vector<std::string> SimTest::TakeViolations()
{
    return sim::TakeViolations();
}

bool HasRule(const std::vector<std::string> &violations, const std::string &rule)
{
    for (const std::string &violation : violations) {
        if (violation.rfind(rule + ":", 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace rztest
