// The fixture every test uses: a fresh sim world before, and after the test
// the verifier's findings and the leak report, each of which fails the test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rztest {

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The violations recorded so far, taken out of the record so that the
    // end-of-test check does not count them again.
    std::vector<std::string> TakeViolations();
};

// Each verifier finding and each block left behind fails the current test;
// the world is then made fresh. What every fixture does at its end, and a
// loop of runs after each of them.
void CheckAndResetWorld();

// True when one of `violations` names `rule`.
bool HasRule(const std::vector<std::string> &violations, const std::string &rule);

}  // namespace rztest
