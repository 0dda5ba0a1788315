// Clients that press the service as far as one connection may: one that
// sends requests and never reads their answers, one with every request it
// may have in flight and one more.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "tests/service/raw_client.h"

namespace service_test {

// Sends media-state queries, ids from `firstId` on, until the socket takes
// none within `limit` or `most` were taken; how many were.
uint64_t SendQueriesUntilRefused(RawClient &client, uint64_t firstId, uint64_t most, std::chrono::milliseconds limit);

// Puts as many reads in flight as a connection may have, ids from
// `firstId` on, then one more with `beyondId`; that one's answer.
std::optional<RawAnswer> ReadPastTheCap(RawClient &client, uint64_t firstId, uint64_t beyondId);

}  // namespace service_test
