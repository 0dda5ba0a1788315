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

// True when one of `violations` names `rule`.
bool HasRule(const std::vector<std::string> &violations, const std::string &rule);

}  // namespace rztest
